// The configuration file reader: lines of "name value", one name/value set.
#include "hcp_conf.h"

#include "hcp_util.h"
#include "util/owners.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace
{

constexpr int k_conf_priority = 12; // LOG_USER | LOG_WARNING
constexpr size_t k_first_slots = 20;

// Character classes of the POSIX locale, spelled out so no locale can change them.
bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_name_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Parses one line in place and adds its definition. Returns -1 only when
// the set cannot take it; rejected lines are logged and count as read.
int parse_line(char *line, conf_set *set)
{
    char *p = line;
    while (is_blank(*p))
        p++;
    if (*p == '\0' || *p == '#')
        return 0;
    char *shown = p; // messages show the line from its first non-blank character

    char *name = p;
    while (is_name_char(*p))
        p++;
    if (p == name || !is_blank(*p)) {
        log_printf(k_conf_priority,
                   "Invalid variable definition %s\nExpected a space after variable name\n", shown);
        return 0;
    }
    char *name_end = p;
    while (is_blank(*p))
        p++;
    if (*p == '\0' || *p == '#') {
        log_printf(k_conf_priority, "Invalid variable definition %s\nExpected a value", shown);
        return 0;
    }

    char *value = p;
    char *blank_run = nullptr; // where the latest run of blanks began
    for (p = value + 1; *p != '\0' && *p != '#'; p++) {
        if (is_blank(*p)) {
            if (blank_run == nullptr)
                blank_run = p;
        } else {
            blank_run = nullptr;
        }
    }
    char *value_end = blank_run != nullptr ? blank_run : p;
    *name_end = '\0';
    *value_end = '\0';
    return conf_set_add(name, value, set);
}

} // namespace

extern "C" {

int conf_entry_compare(const void *a, const void *b)
{
    return std::strcmp(static_cast<const conf_entry *>(a)->name,
                       static_cast<const conf_entry *>(b)->name);
}

int conf_set_reserve(struct conf_set *set)
{
    if (set->entries == nullptr) {
        set->entries = static_cast<conf_entry *>(std::calloc(k_first_slots, sizeof(conf_entry)));
        if (set->entries == nullptr) {
            set->capacity = 0;
            errno = ENOMEM;
            return -1;
        }
        set->capacity = k_first_slots;
        set->count = 0;
        set->sorted = 1;
        return 0;
    }
    if (set->count < set->capacity)
        return 0;

    conf_entry *grown = nullptr;
    if (set->capacity <= SIZE_MAX / 2 / sizeof(conf_entry))
        grown = static_cast<conf_entry *>(
            std::realloc(set->entries, set->capacity * 2 * sizeof(conf_entry)));
    if (grown == nullptr) {
        log_printf(k_conf_priority, "Unable to read configuration: %s", std::strerror(ENOMEM));
        errno = ENOMEM;
        return -1;
    }
    set->entries = grown;
    set->capacity *= 2;
    return 0;
}

int conf_set_add(const char *name, const char *value, struct conf_set *set)
{
    if (conf_set_reserve(set) != 0)
        return -1;
    char *name_copy = strdup(name);
    char *value_copy = strdup(value);
    if (name_copy == nullptr || value_copy == nullptr) {
        log_printf(k_conf_priority, "Unable to form configuration: %s", std::strerror(ENOMEM));
        std::free(name_copy);
        std::free(value_copy);
        errno = ENOMEM;
        return -1;
    }
    // Duplicates are found whatever the sorted flag says; the entry keeps its place.
    for (size_t i = 0; i < set->count; i++) {
        if (std::strcmp(set->entries[i].name, name) == 0) {
            std::free(set->entries[i].value);
            set->entries[i].value = value_copy;
            std::free(name_copy);
            return 0;
        }
    }
    set->entries[set->count++] = conf_entry{name_copy, value_copy};
    set->sorted = 0;
    return 0;
}

const char *conf_set_lookup(const char *name, const struct conf_set *set)
{
    if (set == nullptr || set->entries == nullptr)
        return nullptr;
    conf_entry key{const_cast<char *>(name), nullptr};
    const void *found = nullptr;
    if (set->sorted) {
        found =
            std::bsearch(&key, set->entries, set->count, sizeof(conf_entry), conf_entry_compare);
    } else {
        for (size_t i = 0; i < set->count && found == nullptr; i++)
            if (conf_entry_compare(&key, &set->entries[i]) == 0)
                found = &set->entries[i];
    }
    return found != nullptr ? static_cast<const conf_entry *>(found)->value : nullptr;
}

void conf_set_sort(struct conf_set *set)
{
    if (!set->sorted && set->entries != nullptr)
        std::qsort(set->entries, set->count, sizeof(conf_entry), conf_entry_compare);
    set->sorted = 1;
}

void conf_set_free(struct conf_set *set)
{
    if (set == nullptr)
        return;
    for (size_t i = 0; i < set->count; i++) {
        std::free(set->entries[i].name);
        std::free(set->entries[i].value);
    }
    std::free(set->entries);
    std::free(set);
}

int conf_set_read(const char *path, struct conf_set *set)
{
    if (conf_set_reserve(set) != 0)
        return -1;
    hcp::unique_file file(sysroot_fopen(path, "r"));
    if (!file) {
        int saved = errno;
        log_printf(k_conf_priority, "unable to open configuration file %s: %s\n", path,
                   std::strerror(saved));
        errno = saved;
        return -1;
    }

    char *line = nullptr;
    int capacity = 0;
    hcp::unique_malloc<char> line_owner;
    for (;;) {
        errno = 0;
        ssize_t len = read_line(&line, &capacity, file.get());
        line_owner.release();
        line_owner.reset(line);
        if (len < 0)
            break;
        if (parse_line(line, set) != 0)
            return -1;
    }
    int saved = errno;
    conf_set_sort(set);
    if (std::feof(file.get()) && !std::ferror(file.get()))
        return 0;
    log_printf(k_conf_priority, "Unable to read configuration file: %s", std::strerror(saved));
    errno = saved;
    return -1;
}

} // extern "C"
