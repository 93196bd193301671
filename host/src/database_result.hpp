#pragma once

#include "host/database.hpp"

#include <libpq-fe.h>

#include <memory>

namespace host::database {

struct ResultData {
    // Fields hand out views into this result, so it lives as long as any of them.
    std::shared_ptr<PGresult> result;
};

// Takes ownership of a result whose status is a success.
Result make_result(PGresult* result);

}  // namespace host::database
