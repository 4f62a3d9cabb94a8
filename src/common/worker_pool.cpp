#include "common/worker_pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "common/interrupt.hpp"

namespace linara {
namespace {

// More threads than this gain nothing on any machine and only cost memory.
constexpr std::size_t kMaxPoolSize = 1024;
// Bands per thread: enough slack for idle threads to balance uneven rows.
constexpr std::size_t kBandsPerThread = 4;
// How often a caller waiting for other threads' bands polls for an interrupt.
constexpr std::chrono::milliseconds kPollWhileWaiting{10};

struct Band {
    std::size_t first;
    std::size_t end;
};

// Splits [first, end) in halves until bands are at most `grain` rows long.
void split_in_halves(std::size_t first, std::size_t end, std::size_t grain, std::vector<Band>& out) {
    if (end - first <= grain) {
        out.push_back({first, end});
        return;
    }
    std::size_t middle = first + (end - first) / 2;
    split_in_halves(first, middle, grain, out);
    split_in_halves(middle, end, grain, out);
}

// Runs f() and returns what it threw, or null.
template <class F>
std::exception_ptr thrown_by(F&& f) noexcept {
    try {
        f();
    } catch (...) {
        return std::current_exception();
    }
    return nullptr;
}

// One parallel loop. It lives on the caller's stack; all of its mutable
// state is guarded by the pool's mutex.
struct Job {
    BandFunction fn;
    void* context;
    std::vector<Band> bands;
    std::size_t next_band = 0;
    std::size_t finished = 0;
    std::exception_ptr error;
    std::condition_variable done;
    std::atomic<bool>* stopped;  // the caller's stop flag, watched in its bands
};

class WorkerPool {
public:
    explicit WorkerPool(std::size_t size) {
        threads_.reserve(size - 1);
        for (std::size_t i = 1; i < size; ++i) {
            try {
                threads_.emplace_back([this] { work(); });
            } catch (const std::system_error&) {
                break;  // The threads that did start are enough to be correct.
            }
        }
    }

    std::size_t size() const { return threads_.size() + 1; }
    std::mutex& mutex() { return mutex_; }

    void run(std::size_t rows, BandFunction fn, void* context) {
        if (threads_.empty()) {
            fn(context, 0, rows);
            return;
        }
        Job job{fn, context, {}, 0, 0, nullptr, {}, current_stop_flag()};
        std::size_t grain = std::max<std::size_t>(1, rows / (size() * kBandsPerThread));
        split_in_halves(0, rows, grain, job.bands);

        std::unique_lock<std::mutex> lock(mutex_);
        if (job.bands.size() > 1) {
            queue_.push_back(&job);
            wake_.notify_all();
        }
        // The caller works on its own loop until no band is left to take.
        while (job.next_band < job.bands.size()) run_next_band(job, lock);
        wait_for_bands(job, lock);
        if (job.error) std::rethrow_exception(job.error);
    }

    // Runs `main` on the calling thread while up to `helpers` pool threads
    // run helper bands [i, i + 1). Once `main` has returned (or thrown),
    // `stop` is called, helper bands that no thread has started are
    // dropped, and the call waits for the started ones to return.
    void run_with_helpers(std::size_t helpers, BandFunction helper, void* context,
                          const std::function<void()>& main, const std::function<void()>& stop) {
        Job job{helper, context, {}, 0, 0, nullptr, {}, current_stop_flag()};
        for (std::size_t i = 0; i < std::min(helpers, threads_.size()); ++i) job.bands.push_back({i, i + 1});
        std::unique_lock<std::mutex> lock(mutex_);
        if (!job.bands.empty()) {
            queue_.push_back(&job);
            wake_.notify_all();
        }
        lock.unlock();
        const std::exception_ptr error = thrown_by(main);
        stop();
        lock.lock();
        drop_pending_bands(job);
        job.done.wait(lock, [&] { return job.finished == job.bands.size(); });
        if (error) std::rethrow_exception(error);
        if (job.error) std::rethrow_exception(job.error);
    }

private:
    void work() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return !queue_.empty(); });
            run_next_band(*queue_.front(), lock);
        }
    }

    // Takes the job's next band and runs it with the mutex released. Once a
    // band of the job has failed, the bands still to take are dropped.
    void run_next_band(Job& job, std::unique_lock<std::mutex>& lock) {
        if (job.error) {
            drop_pending_bands(job);
            return;
        }
        Band band = job.bands[job.next_band++];
        if (job.next_band == job.bands.size()) remove_from_queue(job);
        lock.unlock();
        const std::exception_ptr error = thrown_by([&] {
            const ScopedStopWatch watch(job.stopped);
            job.fn(job.context, band.first, band.end);
        });
        lock.lock();
        if (error && !job.error) job.error = error;
        // Notified under the mutex: the caller cannot return and destroy the
        // job before this thread has let go of it.
        if (++job.finished == job.bands.size()) job.done.notify_all();
    }

    // Waits until other threads have run the job's bands. An interruptible
    // caller keeps polling meanwhile: when it stops, its flag ends those
    // bands at their next poll, and its exception becomes the job's.
    void wait_for_bands(Job& job, std::unique_lock<std::mutex>& lock) {
        const auto finished = [&] { return job.finished == job.bands.size(); };
        if (!job.stopped) return job.done.wait(lock, finished);
        while (!job.done.wait_for(lock, kPollWhileWaiting, finished)) {
            if (job.error) continue;
            lock.unlock();
            const std::exception_ptr error = thrown_by(poll_interrupt);
            lock.lock();
            if (error && !job.error) job.error = error;
        }
    }

    // Counts the bands no thread has taken as finished, unrun.
    void drop_pending_bands(Job& job) {
        job.finished += job.bands.size() - job.next_band;
        job.next_band = job.bands.size();
        remove_from_queue(job);
        if (job.finished == job.bands.size()) job.done.notify_all();
    }

    void remove_from_queue(Job& job) {
        auto it = std::find(queue_.begin(), queue_.end(), &job);
        if (it != queue_.end()) queue_.erase(it);
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job*> queue_;
    std::vector<std::thread> threads_;
};

std::mutex g_create_mutex;
// Never destroyed: at exit its threads may still serve callers that the
// interpreter does not wait for (daemon threads), so the pool stays alive
// until the process ends. A forked child abandons it the same way.
WorkerPool* g_pool = nullptr;

std::size_t logical_processors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<std::size_t>(count);
    }
    unsigned hw = std::thread::hardware_concurrency();
    return hw > 0 ? hw : 1;
}

// fork() copies only the calling thread. Holding both mutexes across it
// keeps them consistent; the child then drops the pool whose threads it does
// not have and builds a new one on its next loop.
void before_fork() {
    g_create_mutex.lock();
    if (g_pool) g_pool->mutex().lock();
}
void after_fork_in_parent() {
    if (g_pool) g_pool->mutex().unlock();
    g_create_mutex.unlock();
}
void after_fork_in_child() {
    g_pool = nullptr;  // The old pool's threads do not exist here; leave it.
    g_create_mutex.unlock();
}

WorkerPool& pool() {
    static const bool registered = [] {
        pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
        return true;
    }();
    (void)registered;
    std::lock_guard<std::mutex> lock(g_create_mutex);
    if (!g_pool) {
        std::size_t size = choose_pool_size(std::getenv("RAYON_NUM_THREADS"),
                                            std::getenv("RAYON_RS_NUM_CPUS"), logical_processors());
        g_pool = new WorkerPool(std::min(size, kMaxPoolSize));
    }
    return *g_pool;
}

}  // namespace

std::optional<std::size_t> parse_thread_count(const char* text) {
    if (!text) return std::nullopt;
    if (*text == '+') ++text;
    if (*text == '\0') return std::nullopt;
    std::size_t value = 0;
    for (; *text; ++text) {
        if (*text < '0' || *text > '9') return std::nullopt;
        std::size_t digit = static_cast<std::size_t>(*text - '0');
        if (__builtin_mul_overflow(value, std::size_t{10}, &value) ||
            __builtin_add_overflow(value, digit, &value))
            return std::nullopt;
    }
    return value;
}

std::size_t choose_pool_size(const char* num_threads, const char* num_cpus,
                             std::size_t processors) {
    if (auto n = parse_thread_count(num_threads)) return *n > 0 ? *n : processors;
    if (auto n = parse_thread_count(num_cpus); n && *n > 0) return *n;
    return processors;
}

std::size_t worker_pool_size() { return pool().size(); }

void run_with_helpers(std::size_t helpers, BandFunction helper, void* context,
                      const std::function<void()>& main, const std::function<void()>& stop) {
    pool().run_with_helpers(helpers, helper, context, main, stop);
}

void run_row_bands(std::size_t rows, BandFunction fn, void* context) {
    if (rows == 0) return;
    if (rows == 1) {
        fn(context, 0, 1);
        return;
    }
    pool().run(rows, fn, context);
}

}  // namespace linara
