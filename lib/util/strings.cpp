// String and buffer helpers. Character classes are plain ASCII: the system
// never changes its locale, and bytes above 127 are neither blank nor cased.
#include "hcp_util.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace
{

bool is_blank(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

} // namespace

extern "C" {

ssize_t read_line(char **buffer, int *capacity, FILE *stream)
{
    if (buffer == nullptr || capacity == nullptr || stream == nullptr) {
        errno = EINVAL;
        return -1;
    }
    // A set pointer with no capacity starts a new buffer; the old one stays the caller's.
    int cap = *buffer != nullptr ? *capacity : 0;
    char *line = cap != 0 ? *buffer : nullptr;

    int i = 0;
    for (;;) {
        int c = getc(stream);
        if (c == EOF) {
            if (i == 0)
                return -1;
            line[i] = '\0';
            return i;
        }
        if (i + 1 >= cap) {
            if (cap == READ_LINE_MAX_CAPACITY) {
                errno = ERANGE;
                return -1;
            }
            int grown_cap = READ_LINE_MAX_CAPACITY - cap < READ_LINE_STEP_BYTES + 1
                                ? READ_LINE_MAX_CAPACITY
                                : cap + READ_LINE_STEP_BYTES;
            char *grown = static_cast<char *>(std::realloc(line, size_t(grown_cap)));
            if (grown == nullptr) {
                errno = ENOMEM;
                return -1;
            }
            line = grown;
            cap = grown_cap;
            *buffer = line;
            *capacity = cap;
        }
        line[i++] = static_cast<char>(c);
        if (c == '\n') {
            line[i] = '\0';
            return i;
        }
    }
}

#ifndef HCP_HAVE_STRLCPY // FreeBSD's libc has it, glibc only from 2.38
size_t strlcpy(char *destination, const char *source, size_t size)
{
    size_t len = std::strlen(source);
    if (size != 0) {
        size_t n = len < size - 1 ? len : size - 1;
        std::memcpy(destination, source, n);
        destination[n] = '\0';
    }
    return len;
}
#endif

char *strn_replace(const char *source, char *destination, const char *pattern,
                   const char *replacement, size_t size)
{
    if (destination == nullptr)
        return nullptr;
    if (pattern == nullptr || *pattern == '\0') {
        std::strncpy(destination, source, size);
        return destination;
    }
    char *scratch = static_cast<char *>(std::malloc(size));
    if (scratch == nullptr) {
        print_error(0, "strn_replace(): %s\n", std::strerror(errno));
        strlcpy(destination, source, size);
        return destination;
    }

    // The running length decides before each piece is written, so the result
    // is cut only between pieces and never exceeds size - 1 bytes.
    size_t pattern_len = std::strlen(pattern);
    size_t replacement_len = std::strlen(replacement);
    size_t length = 0;
    char *out = scratch;
    const char *rest = source;
    bool cut = false;
    for (const char *match; (match = std::strstr(rest, pattern)) != nullptr;
         rest = match + pattern_len) {
        size_t before = size_t(match - rest);
        length += before;
        if (length >= size) {
            cut = true;
            break;
        }
        std::memcpy(out, rest, before);
        out += before;
        length += replacement_len;
        if (length >= size) {
            cut = true;
            break;
        }
        std::memcpy(out, replacement, replacement_len);
        out += replacement_len;
    }
    if (!cut) {
        size_t tail = std::strlen(rest);
        if (length + tail < size) {
            std::memcpy(out, rest, tail);
            out += tail;
        }
    }
    *out = '\0';
    strlcpy(destination, scratch, size);
    std::free(scratch);
    return destination;
}

char *str_replace_char(char *source, char *destination, char from, char to)
{
    if (destination == nullptr)
        destination = source;
    for (size_t i = 0;; i++) {
        char c = source[i];
        if (c == from) {
            destination[i] = to;
            if (to == '\0')
                return destination;
        } else {
            destination[i] = c;
            if (c == '\0')
                return destination;
        }
    }
}

char *str_trim(char *string)
{
    size_t len = std::strlen(string);
    while (len > 0 && is_blank(static_cast<unsigned char>(string[len - 1])))
        string[--len] = '\0';
    while (is_blank(static_cast<unsigned char>(*string)))
        string++;
    return string;
}

void str_tolower(char *string)
{
    if (string == nullptr)
        return;
    for (; *string != '\0'; string++)
        if (*string >= 'A' && *string <= 'Z')
            *string = char(*string - 'A' + 'a');
}

char *str_dup_lower(const char *string)
{
    if (string == nullptr)
        return nullptr;
    char *copy = strdup(string);
    if (copy == nullptr) {
        print_error(0, "System error: %s\n", std::strerror(errno));
        return nullptr;
    }
    str_tolower(copy);
    return copy;
}

} // extern "C"
