// Single-value lookups in the panel database, most of them in table misc.
#include "hcp_db.h"
#include "hcp_util.h"

#include "db/sql.hpp"

#include <cerrno>

namespace
{

constexpr size_t k_query_buffer_bytes = 4096;
const char k_lookup_template[] = "select %s from %s where %s='%s'";

// The handle a lookup works on: the caller's, borrowed and left open, or one
// of its own, closed when the lookup is done.
class lookup_connection
{
  public:
    explicit lookup_connection(MYSQL *given) : handle_(given)
    {
        if (handle_ != nullptr)
            return;
        own_.reset(db_connect_or_report());
        handle_ = own_.get();
        if (handle_ == nullptr) {
            errno = 0;
            print_error(0, "Unable to connect to the mysql database\n");
        }
    }
    MYSQL *get() const { return handle_; }

  private:
    hcp::unique_mysql own_;
    MYSQL *handle_;
};

const char *refused(const char *query, MYSQL *handle)
{
    errno = 0;
    print_error(0, "Unable to query parameter by query %s: %s\n", query, mysql_error(handle));
    return nullptr;
}

const char *query_on(MYSQL *handle, const char *query, unsigned int column)
{
    if (mysql_query(handle, query) != 0)
        return refused(query, handle);
    hcp::unique_result result(mysql_store_result(handle));
    // Without a result set and without an error the statement simply gives no
    // rows; a result that the library failed to store is a failed lookup, not
    // an unset parameter.
    if (!result && mysql_errno(handle) != 0)
        return refused(query, handle);

    db_value_buffer[0] = '\0';
    if (result) {
        MYSQL_ROW row = mysql_fetch_row(result.get());
        if (row != nullptr && column < mysql_num_fields(result.get()) && row[column] != nullptr)
            strlcpy(db_value_buffer, row[column], sizeof db_value_buffer);
    }
    return db_value_buffer;
}

} // namespace

extern "C" {

char db_value_buffer[DB_VALUE_BUFFER_BYTES];

const char *db_query_value(const char *query, MYSQL *handle, unsigned int column)
{
    lookup_connection connection(handle);
    if (connection.get() == nullptr)
        return nullptr;
    return query_on(connection.get(), query, column);
}

const char *db_query_first_value(const char *query, MYSQL *handle)
{
    return db_query_value(query, handle, 0);
}

const char *db_lookup_value(const char *key, const char *table, const char *key_column,
                            const char *result_column, MYSQL *handle)
{
    lookup_connection connection(handle);
    if (connection.get() == nullptr)
        return nullptr;
    // The key is a value: escaped for the connection. A statement longer than
    // the buffer is cut, as every statement of this kind always was.
    char query[k_query_buffer_bytes];
    auto escaped_key = hcp::db_escape(connection.get(), key);
    std::snprintf(query, sizeof query, k_lookup_template, result_column, table, key_column,
                  escaped_key ? escaped_key.get() : key);
    if (!escaped_key)
        return refused(query, connection.get());
    return query_on(connection.get(), query, 0);
}

const char *db_get_param(const char *name, MYSQL *handle)
{
    return db_lookup_value(name, "misc", "param", "val", handle);
}

} // extern "C"
