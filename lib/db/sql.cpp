// Escaping of values for statements on one connection.
#include "db/sql.hpp"

namespace hcp
{

std::optional<std::string> db_escape(MYSQL *handle, std::string_view value)
{
    // The library needs room for every byte doubled plus the terminator.
    std::string escaped(value.size() * 2 + 1, '\0');
    unsigned long n = mysql_real_escape_string(handle, escaped.data(), value.data(),
                                               static_cast<unsigned long>(value.size()));
    if (n == static_cast<unsigned long>(-1))
        return std::nullopt;
    escaped.resize(n);
    return escaped;
}

} // namespace hcp
