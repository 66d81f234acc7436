// Stands in for the PostgreSQL back end in a build without it.
#include "store/connect.h"

std::unique_ptr<SqlConnection> postgres_connect(const std::string& /*conninfo*/, bool /*read_only*/,
                                                std::string& error) {
    error = "PostgreSQL support is not built";
    return nullptr;
}
