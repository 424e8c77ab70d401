// The scheduler behind scheduler.hpp: the process-wide pool, its start, and
// how workers find, run, and wait for jobs.
//
// One mutex guards every queue and every sleeping worker. Jobs are coarse (the
// split budget keeps their number proportional to the worker count), so the
// lock is not where time goes, and a single lock makes lost wake-ups
// impossible: nobody can go to sleep between a push and its wake-up.
//
// Queues are intrusive lists threaded through the jobs themselves, which live
// on the stacks of whoever queued them; queuing therefore never allocates and
// cannot fail halfway.
#include "pool/scheduler.hpp"

#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sys.hpp"

namespace veltra::pool {

namespace detail {

// A thread's completion signal for work it handed to the pool.
class LockLatch {
public:
    void set() {
        // Notified under the lock: once the waiter sees the flag it may
        // return and its thread may end, taking this latch with it.
        std::lock_guard lock(mutex_);
        set_ = true;
        cond_.notify_one();
    }

    void wait_and_reset() {
        std::unique_lock lock(mutex_);
        cond_.wait(lock, [&] { return set_; });
        set_ = false;
    }

private:
    std::mutex mutex_;
    std::condition_variable cond_;
    bool set_ = false;
};

namespace {

// First in, first out for thieves and injected work; last in, first out for a
// worker taking back its own halves.
class JobQueue {
public:
    bool empty() const noexcept { return head_ == nullptr; }
    Job* back() const noexcept { return tail_; }

    void push_back(Job& job) noexcept {
        job.prev = tail_;
        job.next = nullptr;
        (tail_ != nullptr ? tail_->next : head_) = &job;
        tail_ = &job;
    }

    Job* pop_front() noexcept {
        Job* job = head_;
        if (job != nullptr)
            unlink(*job);
        return job;
    }

    Job* pop_back() noexcept {
        Job* job = tail_;
        if (job != nullptr)
            unlink(*job);
        return job;
    }

private:
    void unlink(Job& job) noexcept {
        (job.prev != nullptr ? job.prev->next : head_) = job.next;
        (job.next != nullptr ? job.next->prev : tail_) = job.prev;
        job.prev = job.next = nullptr;
    }

    Job* head_ = nullptr;
    Job* tail_ = nullptr;
};

}  // namespace

struct Worker {
    Registry* registry = nullptr;
    std::size_t index = 0;
    // Everything below is guarded by the registry's mutex.
    JobQueue jobs;
    bool sleeping = false;
    std::condition_variable wakeup;
};

struct Registry {
    Registry(std::size_t count, bool no_threads)
        : n(count), inline_only(no_threads), workers(no_threads ? nullptr : new Worker[count]) {
        const std::size_t threads = no_threads ? 0 : count;
        sleepers.reserve(threads);
        for (std::size_t i = 0; i < threads; ++i) {
            workers[i].registry = this;
            workers[i].index = i;
        }
    }

    const std::size_t n;
    // The single-worker fallback: no threads, every operation runs inline.
    const bool inline_only;
    std::unique_ptr<Worker[]> workers;

    std::mutex mutex;
    // Guarded by `mutex`:
    JobQueue injected;
    std::vector<Worker*> sleepers;  // never more than n: reserved up front
    bool terminating = false;

    // The start holds one reference and every started worker another, so
    // that the workers of a failed start can still be inside it while they
    // wind down. A started pool is never released.
    std::atomic<std::size_t> refs{1};
};

namespace {

constexpr std::size_t max_workers = 65535;
constexpr std::size_t worker_stack_size = 2 * 1024 * 1024;
constexpr std::string_view not_initialized = "The global thread pool has not been initialized.: ";

thread_local Worker* this_worker = nullptr;

// The once-flag of the pool start, kept by hand so that a forked child can
// start over (see the fork handlers below).
enum class StartState { NotStarted, Started, Failed };
std::mutex start_mutex;
StartState start_state = StartState::NotStarted;  // guarded by start_mutex
std::atomic<Registry*> global_pool{nullptr};
bool fork_handlers_installed = false;  // guarded by start_mutex

void release(Registry& registry) noexcept {
    if (registry.refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete &registry;
}

LockLatch& this_thread_latch() {
    thread_local LockLatch latch;
    return latch;
}

// --- Sleeping and waking (all under the registry's mutex) -------------------

void wake(Registry& registry, Worker& worker) noexcept {
    auto& sleepers = registry.sleepers;
    sleepers.erase(std::find(sleepers.begin(), sleepers.end(), &worker));
    worker.sleeping = false;
    worker.wakeup.notify_one();
}

void wake_one(Registry& registry) noexcept {
    if (!registry.sleepers.empty())
        wake(registry, *registry.sleepers.back());
}

void wake_all(Registry& registry) noexcept {
    while (!registry.sleepers.empty())
        wake(registry, *registry.sleepers.back());
}

// Whoever wakes a worker takes it off the sleepers first, so a spurious
// wake-up just goes back to sleep.
void sleep(Worker& worker, std::unique_lock<std::mutex>& lock) noexcept {
    worker.sleeping = true;
    worker.registry->sleepers.push_back(&worker);
    worker.wakeup.wait(lock, [&] { return !worker.sleeping; });
}

// Own halves newest first (they are the smallest and hottest), then the
// oldest half of another worker, then work handed in from outside.
Job* find_work(Worker& worker) noexcept {
    Registry& registry = *worker.registry;
    if (Job* job = worker.jobs.pop_back())
        return job;
    for (std::size_t k = 1; k < registry.n; ++k) {
        Worker& victim = registry.workers[(worker.index + k) % registry.n];
        if (Job* job = victim.jobs.pop_front())
            return job;
    }
    return registry.injected.pop_front();
}

// Runs a job taken from a queue and tells whoever queued it. The job must not
// be touched once it is signalled: its owner may already have returned.
void execute(Job& job) noexcept {
    job.run(true);
    if (LockLatch* latch = job.latch) {
        latch->set();
        return;
    }
    Worker& owner = *job.owner;
    Registry& registry = *owner.registry;
    std::lock_guard lock(registry.mutex);
    job.done = true;
    if (owner.sleeping)
        wake(registry, owner);
}

void* worker_main(void* arg) {
    Worker& worker = *static_cast<Worker*>(arg);
    Registry& registry = *worker.registry;
    this_worker = &worker;
    prepare_thread_for_exceptions();
    {
        std::unique_lock lock(registry.mutex);
        while (!registry.terminating) {
            if (Job* job = find_work(worker)) {
                lock.unlock();
                execute(*job);
                lock.lock();
            } else {
                sleep(worker, lock);
            }
        }
    }
    this_worker = nullptr;
    release(registry);
    return nullptr;
}

// --- Start --------------------------------------------------------------------

std::optional<std::uint64_t> parse_count(const char* value) {
    if (value == nullptr)
        return std::nullopt;
    const std::string_view text(value);
    if (!check_utf8(text).valid)
        return std::nullopt;
    auto parsed = parse_u64(text);
    if (!parsed)
        return std::nullopt;
    return parsed.value();
}

std::size_t available_cpus() {
    auto count = sys::available_cpu_count();
    return count ? count.value() : 1;
}

// Tells the workers of a failed start to wind down and gives up on it.
void abandon(Registry& registry) noexcept {
    {
        std::lock_guard lock(registry.mutex);
        registry.terminating = true;
        wake_all(registry);
    }
    release(registry);
}

// Workers are started with every asynchronous signal blocked, which they
// keep: the kernel then hands a signal such as SIGINT to a thread that can
// act on it (the interpreter's), and a system call waiting there is
// interrupted instead of a worker's sleep. Signals raised by a fault stay
// open, so that a crash on a worker still reports as one.
class AsyncSignalsBlocked {
public:
    AsyncSignalsBlocked() noexcept {
        sigset_t blocked;
        sigfillset(&blocked);
        for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT})
            sigdelset(&blocked, fault);
        pthread_sigmask(SIG_BLOCK, &blocked, &previous_);
    }
    AsyncSignalsBlocked(const AsyncSignalsBlocked&) = delete;
    AsyncSignalsBlocked& operator=(const AsyncSignalsBlocked&) = delete;
    ~AsyncSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

private:
    sigset_t previous_;
};

Result<Registry*, sys::OsError> spawn_workers(std::size_t n) {
    auto registry = std::make_unique<Registry>(n, false);
    pthread_attr_t attr;
    if (int rc = pthread_attr_init(&attr); rc != 0)
        return sys::OsError::from_errno(rc);
    struct AttrGuard {
        pthread_attr_t& attr;
        ~AttrGuard() { pthread_attr_destroy(&attr); }
    } attr_guard{attr};
    int rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (rc == 0)
        rc = pthread_attr_setstacksize(&attr, worker_stack_size);
    if (rc != 0)
        return sys::OsError::from_errno(rc);
    // Workers start in index order and are not waited for: work handed in
    // waits in the queue until one of them is up.
    const AsyncSignalsBlocked inherited_mask;
    for (std::size_t i = 0; i < n; ++i) {
        registry->refs.fetch_add(1, std::memory_order_relaxed);
        pthread_t thread;
        rc = pthread_create(&thread, &attr, worker_main, &registry->workers[i]);
        if (rc != 0) {
            registry->refs.fetch_sub(1, std::memory_order_relaxed);
            abandon(*registry.release());
            return sys::OsError::from_errno(rc);
        }
    }
    return registry.release();
}

// A child made by fork() has only the forking thread: the parent's workers,
// and whatever locks they held, did not come along. The child leaves the
// parent's pool objects alone and starts its own pool on first use. A start
// that failed for good stays failed.
void before_fork() noexcept {
    start_mutex.lock();
}
void after_fork_in_parent() noexcept {
    start_mutex.unlock();
}
void after_fork_in_child() noexcept {
    this_worker = nullptr;
    if (start_state == StartState::Started) {
        start_state = StartState::NotStarted;
        global_pool.store(nullptr, std::memory_order_relaxed);
    }
    start_mutex.unlock();
}

// pthread_create says EAGAIN both when the process may have no more threads
// and when a new thread finds no memory: for its stack and guard page, and
// for glibc's bookkeeping, which may have to map a megabyte of heap. A
// mapping of that much tells the two apart.
bool short_of_memory(const sys::OsError& error) noexcept {
    if (!error.is_os() || (error.code() != EAGAIN && error.code() != ENOMEM))
        return false;
    if (error.code() == ENOMEM)
        return true;
    const std::size_t needed =
        worker_stack_size + static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)) + (1 << 20);
    void* probe = ::mmap(nullptr, needed, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (probe == MAP_FAILED)
        return errno == ENOMEM;
    ::munmap(probe, needed);
    return false;
}

std::string build_error(std::string_view kind) {
    std::string message(not_initialized);
    message += "ThreadPoolBuildError { kind: ";
    message += kind;
    message += " }";
    return message;
}

Registry& start_pool() {
    std::unique_lock lock(start_mutex);
    switch (start_state) {
        case StartState::Started:
            return *global_pool.load(std::memory_order_relaxed);
        case StartState::Failed:
            lock.unlock();
            panic(build_error("GlobalPoolAlreadyInitialized"));
        case StartState::NotStarted:
            break;
    }
    if (!fork_handlers_installed) {
        fork_handlers_installed = pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
    }
    const std::size_t n =
        worker_count_for(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"), available_cpus);
    auto spawned = spawn_workers(n);
    Registry* registry = nullptr;
    if (spawned) {
        registry = spawned.value();
    } else if (spawned.error().kind() == sys::ErrorKind::Unsupported && this_worker == nullptr) {
        // No threads to be had at all: the caller is the one worker.
        registry = new Registry(1, true);
    } else {
        start_state = StartState::Failed;
        const bool memory = short_of_memory(spawned.error());
        std::string message = build_error("IOError(" + spawned.error().detailed() + ")");
        lock.unlock();
        // Short of memory, the call fails as an allocation would; the start
        // stays failed all the same.
        if (memory)
            throw MemoryShortage{std::move(message)};
        panic(std::move(message));
    }
    start_state = StartState::Started;
    global_pool.store(registry, std::memory_order_release);
    return *registry;
}

}  // namespace

Worker* current_worker() noexcept {
    return this_worker;
}
std::size_t worker_index(const Worker& worker) noexcept {
    return worker.index;
}
std::size_t worker_count(const Worker& worker) noexcept {
    return worker.registry->n;
}

Registry& started_pool() {
    if (Registry* registry = global_pool.load(std::memory_order_acquire))
        return *registry;
    return start_pool();
}

bool runs_inline(const Registry& pool) noexcept {
    return pool.inline_only;
}

void inject_and_wait(Registry& pool, Job& job) noexcept {
    LockLatch& latch = this_thread_latch();
    job.latch = &latch;
    {
        std::lock_guard lock(pool.mutex);
        pool.injected.push_back(job);
        wake_one(pool);
    }
    latch.wait_and_reset();
}

void push_local(Worker& worker, Job& job) noexcept {
    Registry& registry = *worker.registry;
    job.owner = &worker;
    job.done = false;
    std::lock_guard lock(registry.mutex);
    worker.jobs.push_back(job);
    wake_one(registry);
}

bool pop_local(Worker& worker, Job& job) noexcept {
    // Whatever the first half queued above `job` has been taken back or
    // finished by now, so `job` is on top unless someone took it.
    std::lock_guard lock(worker.registry->mutex);
    if (worker.jobs.back() != &job)
        return false;
    worker.jobs.pop_back();
    return true;
}

void wait_until_done(Worker& worker, Job& job) noexcept {
    std::unique_lock lock(worker.registry->mutex);
    while (!job.done) {
        if (Job* other = find_work(worker)) {
            lock.unlock();
            execute(*other);
            lock.lock();
        } else {
            sleep(worker, lock);
        }
    }
}

}  // namespace detail

std::size_t worker_count_for(const char* num_threads, const char* rs_num_cpus,
                             std::size_t (*default_count)()) {
    std::uint64_t count;
    if (const auto value = detail::parse_count(num_threads))
        count = *value > 0 ? *value : default_count();  // 0 asks for the default outright
    else if (const auto fallback = detail::parse_count(rs_num_cpus); fallback && *fallback > 0)
        count = *fallback;
    else
        count = default_count();
    return static_cast<std::size_t>(std::clamp<std::uint64_t>(count, 1, detail::max_workers));
}

std::size_t current_num_threads() {
    if (const detail::Worker* worker = detail::current_worker())
        return detail::worker_count(*worker);
    return detail::started_pool().n;
}

}  // namespace veltra::pool
