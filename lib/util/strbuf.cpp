// The growable string: a caller-held text and its count of free characters.
#include "hcp_util.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

constexpr size_t k_first_bytes = 80;
constexpr size_t k_min_step_bytes = 80;

// Makes room for `needed` more characters; the text must have been started.
char *grow(char **text, size_t *free_count, size_t needed)
{
    if (needed <= *free_count)
        return *text;
    size_t step = needed - *free_count;
    if (step < k_min_step_bytes)
        step = k_min_step_bytes;
    size_t current = std::strlen(*text) + 1 + *free_count;
    if (current > SIZE_MAX - step) {
        errno = ERANGE;
        return nullptr;
    }
    char *grown = static_cast<char *>(std::realloc(*text, current + step));
    if (grown == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    *text = grown;
    *free_count += step;
    return grown;
}

} // namespace

extern "C" {

char *strbuf_init(char **text, size_t *free_count)
{
    if (*text != nullptr)
        return *text;
    char *fresh = static_cast<char *>(std::malloc(k_first_bytes));
    if (fresh == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    fresh[0] = '\0';
    *text = fresh;
    *free_count = k_first_bytes - 1;
    return fresh;
}

char *strbuf_reserve(char **text, size_t *free_count, size_t needed)
{
    if (*text == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    return grow(text, free_count, needed);
}

char *strbuf_append(char **text, size_t *free_count, const char *string)
{
    if (strbuf_init(text, free_count) == nullptr)
        return nullptr;
    size_t len = std::strlen(string);
    if (grow(text, free_count, len) == nullptr)
        return nullptr;
    std::memcpy(*text + std::strlen(*text), string, len + 1);
    *free_count -= len;
    return *text;
}

char *strbuf_printf(char **text, size_t *free_count, const char *format, ...)
{
    if (strbuf_init(text, free_count) == nullptr)
        return nullptr;
    size_t used = std::strlen(*text);
    va_list ap;
    va_start(ap, format);
    int n = std::vsnprintf(*text + used, *free_count + 1, format, ap);
    va_end(ap);
    if (n < 0)
        return nullptr;
    if (size_t(n) > *free_count) {
        // Drop the cut-off piece first: the growth rule measures the text.
        (*text)[used] = '\0';
        if (grow(text, free_count, size_t(n)) == nullptr)
            return nullptr;
        va_start(ap, format);
        std::vsnprintf(*text + used, *free_count + 1, format, ap);
        va_end(ap);
    }
    *free_count -= size_t(n);
    return *text;
}

} // extern "C"
