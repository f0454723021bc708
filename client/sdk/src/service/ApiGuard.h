#pragma once

#include <atomic>
#include <exception>
#include <new>

namespace tunnel {

// Runs the body of an exported function so that no exception crosses the C
// boundary: a failure becomes the function's failure value, and its text
// goes to korvane_error() when that can still be recorded.
class ApiGuard {
public:
    typedef void (*Fault)(const char* function);

    // Called at the start of every guarded body; a test makes it throw.
    static void setFaultForTests(Fault fault) { s_fault.store(fault); }

    template <typename Result, typename Body>
    static Result run(const char* function, Result failure, Body body) {
        try {
            const Fault fault = s_fault.load();
            if (fault) fault(function);
            return body();
        } catch (const std::bad_alloc&) {
            _record(function, "out of memory");
        } catch (const std::exception& e) {
            _record(function, e.what());
        } catch (...) {
            _record(function, "unknown exception");
        }
        return failure;
    }

private:
    // Never throws.
    static void _record(const char* function, const char* what) noexcept;

    static std::atomic<Fault> s_fault;
};

}  // namespace tunnel
