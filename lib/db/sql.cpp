// Escaping of values for statements on one connection.
#include "db/sql.hpp"

#include "hcp_util.h"

namespace hcp
{

unique_malloc<char> db_escape(MYSQL *handle, std::string_view value)
{
    // The library needs room for every byte doubled plus the terminator.
    unique_malloc<char> escaped(static_cast<char *>(checked_malloc(value.size() * 2 + 1)));
    unsigned long n = mysql_real_escape_string(handle, escaped.get(), value.data(),
                                               static_cast<unsigned long>(value.size()));
    if (n == static_cast<unsigned long>(-1))
        return nullptr;
    return escaped;
}

} // namespace hcp
