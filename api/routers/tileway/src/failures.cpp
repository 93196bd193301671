#include "failures.hpp"

#include "host/database.hpp"
#include "host/http.hpp"
#include "host/metrics.hpp"
#include "host/runtime.hpp"

namespace tileway {

void rethrow_if_cancelled(const std::exception& error) {
    if (host::is_cancellation(error))
        throw;
}

void answer_current_failure(const host::Logger& logger, const FailureAnswers& answers) {
    auto answer = [&](const FailureAnswer& chosen, const char* text) {
        if (chosen.log_error_text)
            logger->error("{}: {}", chosen.log, text);
        else
            logger->error("{}", chosen.log);
        throw host::http::HTTPException(chosen.status, chosen.detail);
    };
    try {
        throw;
    } catch (const host::TimeoutError& e) {
        host::metrics::count_postgresql_error("timeout");
        answer(answers.timeout, e.what());
    } catch (const host::database::DatabaseError& e) {
        host::metrics::count_postgresql_error("statement");
        answer(answers.database, e.what());
    } catch (const std::exception& e) {
        rethrow_if_cancelled(e);
        answer(answers.other, e.what());
    }
    throw host::http::HTTPException(500, "Internal server error");
}

}  // namespace tileway
