// Owners of the client library's handles, and statements composed from fixed
// templates. Every value placed between single quotes goes through the client
// library's escaping for the connection, so a value with an apostrophe or a
// backslash stays one value; values without them give the template's text.
#pragma once

#include "util/owners.hpp"

#include <mysql.h>

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string_view>
#include <utility>

namespace hcp
{

struct mysql_closer {
    void operator()(MYSQL *handle) const { mysql_close(handle); }
};
using unique_mysql = std::unique_ptr<MYSQL, mysql_closer>;

struct mysql_result_freer {
    void operator()(MYSQL_RES *result) const { mysql_free_result(result); }
};
using unique_result = std::unique_ptr<MYSQL_RES, mysql_result_freer>;

/// The value escaped for the connection of handle, or nullptr when the
/// library refuses it. Exits 1 when there is no memory for it.
unique_malloc<char> db_escape(MYSQL *handle, std::string_view value);

/// Fills format's %s with the escaped values into buffer. Returns the
/// statement's length, or -1 when a value cannot be escaped or the statement
/// does not fit in size bytes.
template <typename... Values>
int db_compose(MYSQL *handle, char *buffer, size_t size, const char *format,
               const Values &...values)
{
    unique_malloc<char> escaped[] = {db_escape(handle, values)...};
    for (const auto &e : escaped)
        if (!e)
            return -1;
    return [&]<size_t... I>(std::index_sequence<I...>)
    {
        int n = std::snprintf(buffer, size, format, escaped[I].get()...);
        return n >= 0 && size_t(n) < size ? n : -1;
    }
    (std::index_sequence_for<Values...>{});
}

} // namespace hcp
