#pragma once

#include "host/logging.hpp"

#include <exception>
#include <string>

namespace tileway {

// Cancellation (an abandoned request, a shutdown) is never an endpoint's failure: it passes on.
void rethrow_if_cancelled(const std::exception& error);

// How one endpoint answers each kind of failure of its database step: the status, the fixed
// detail sent to the client and the error line logged (the failure's own text is appended as
// ": {text}" when `log_error_text` is set). The text never reaches the client.
struct FailureAnswer {
    unsigned status;
    std::string detail;
    std::string log;
    bool log_error_text = true;
};
struct FailureAnswers {
    FailureAnswer timeout;   // the step passed its time limit
    FailureAnswer database;  // the database refused or failed the statement
    FailureAnswer other;     // anything else
};

// Called inside a catch block: rethrows a cancellation unchanged, otherwise logs the current
// failure at error level and throws the HTTPException `answers` give for its kind.
[[noreturn]] void answer_current_failure(const host::Logger& logger, const FailureAnswers& answers);

}  // namespace tileway
