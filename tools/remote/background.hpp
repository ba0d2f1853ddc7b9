// Work on a thread of its own, so that its caller can stop waiting for it.
// A read of a hostile target can block in the kernel for good (a target that
// stalls its own page faults with userfaultfd stalls process_vm_readv too,
// and no signal but SIGKILL ends that wait): only a thread left behind gets
// the caller out. The thread owns everything the work uses, so leaving it
// behind is safe; it ends with the process if it never returns.
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>

namespace tav::remote {

// Whether some caller stopped waiting for its work: a thread may be blocked
// for good, and a process that ends had better not wait for it (a leak
// checker at exit stops every thread, and cannot stop that one): std::_Exit.
inline std::atomic<bool> &threads_left_behind()
{
    static std::atomic<bool> any{false};
    return any;
}

template <class R> class background {
public:
    using clock = std::chrono::steady_clock;

    // Starts f() unless the previous work is under way or its result not taken (then false).
    template <class F> bool start(F f)
    {
        if (!idle()) return false;
        auto s = std::make_shared<state>();
        std::thread([s, f = std::move(f)]() mutable {
            std::optional<R> value;
            std::exception_ptr error;
            try {
                value.emplace(f());
            } catch (...) {
                error = std::current_exception();
            }
            const std::lock_guard<std::mutex> hold(s->m);
            s->value = std::move(value);
            s->error = error;
            s->done = true;
            s->cv.notify_all();
        }).detach();
        s_ = std::move(s);
        return true;
    }

    // Nothing under way and no result waiting.
    bool idle() const { return !s_; }

    // Under way: started and not finished.
    bool busy() const
    {
        if (!s_) return false;
        const std::lock_guard<std::mutex> hold(s_->m);
        return !s_->done;
    }

    // The finished work's result, once (its exception rethrown); nothing while it runs.
    std::optional<R> take() { return wait_until(clock::time_point::min()); }

    // The result, waiting for it until `deadline` at most.
    std::optional<R> wait_until(clock::time_point deadline)
    {
        if (!s_) return std::nullopt;
        std::unique_lock<std::mutex> hold(s_->m);
        if (!s_->cv.wait_until(hold, deadline, [this] { return s_->done; })) {
            if (deadline != clock::time_point::min()) threads_left_behind() = true;
            return std::nullopt;
        }
        std::optional<R> value = std::move(s_->value);
        const std::exception_ptr error = s_->error;
        hold.unlock();
        s_.reset();
        if (error) std::rethrow_exception(error);
        return value;
    }

private:
    struct state {
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
        std::optional<R> value;
        std::exception_ptr error;
    };
    std::shared_ptr<state> s_;
};

// f() run in the background and waited for until `deadline`: its result, or
// nothing when the deadline came first (f then goes on alone).
template <class F> auto call_until(std::chrono::steady_clock::time_point deadline, F f)
    -> std::optional<std::invoke_result_t<F &>>
{
    background<std::invoke_result_t<F &>> work;
    work.start(std::move(f));
    return work.wait_until(deadline);
}

} // namespace tav::remote
