#include "parallel/thread_pool.hpp"

#include <pthread.h>
#include <unistd.h>

#include <cstdlib>
#include <new>
#include <thread>
#include <vector>

#include "parallel/pool_core.hpp"

namespace quillfen::parallel {
namespace {

// The pool whose worker the calling thread is, or nullptr. Points at the shared core, which
// outlives the worker's use of it even after the ThreadPool handle is gone.
thread_local const detail::PoolCore* current_worker_core = nullptr;

constexpr std::size_t kThreadNameMaxBytes = 15;

void worker_main(std::shared_ptr<detail::PoolCore> core) {
  current_worker_core = core.get();
  core->serve();
}

// Starts workers for a pool under construction. Unless release() is called, its destructor stops
// and joins whatever it started, so a failed constructor leaves no thread behind.
class WorkerLaunch {
 public:
  explicit WorkerLaunch(std::shared_ptr<detail::PoolCore> core) : core_(std::move(core)) {
    threads_.reserve(core_->worker_count());
  }
  WorkerLaunch(const WorkerLaunch&) = delete;
  WorkerLaunch& operator=(const WorkerLaunch&) = delete;
  ~WorkerLaunch() {
    if (threads_.empty()) return;
    core_->request_shutdown();
    for (std::thread& thread : threads_) thread.join();
  }

  // The launching thread names the worker, so every name is in place when the pool's
  // constructor returns.
  void start(const std::optional<std::string>& name) {
    std::thread& thread = threads_.emplace_back(worker_main, core_);
    if (name) pthread_setname_np(thread.native_handle(), name->c_str());
  }
  // The workers now run on their own, holding the core themselves.
  void release() {
    for (std::thread& thread : threads_) thread.detach();
    threads_.clear();
  }

 private:
  std::shared_ptr<detail::PoolCore> core_;
  std::vector<std::thread> threads_;
};

std::size_t checked_worker_count(std::size_t workers) {
  if (workers == 0 || workers > kMaxWorkers) {
    throw std::invalid_argument("a thread pool needs between 1 and 65535 workers");
  }
  return workers;
}

ThreadPool& create_global_pool() {
  // Never destroyed: workers may still be running when static destructors do.
  alignas(ThreadPool) static std::byte storage[sizeof(ThreadPool)];
  const std::size_t size = detail::default_pool_size(std::getenv("RAYON_NUM_THREADS"),
                                                     detail::available_processor_count());
  return *::new (static_cast<void*>(storage)) ThreadPool(size);
}

}  // namespace

ThreadPool::ThreadPool(std::size_t workers, std::function<std::string(std::size_t)> thread_name)
    : worker_count_(checked_worker_count(workers)), thread_name_(std::move(thread_name)) {
  start_workers();
}

void ThreadPool::start_workers() {
  auto core = std::make_shared<detail::PoolCore>(worker_count_, *this);
  WorkerLaunch launch(core);
  for (std::size_t index = 0; index < worker_count_; ++index) {
    std::optional<std::string> name;
    if (thread_name_) name = thread_name_(index).substr(0, kThreadNameMaxBytes);
    launch.start(name);
  }
  launch.release();
  // In a forked child this drops our reference to the parent's core without destroying it: its
  // vanished workers still count as owners, so its lock and conditions are never touched again.
  core_ = std::move(core);
  workers_process_.store(getpid(), std::memory_order_release);
}

detail::PoolCore& ThreadPool::live_core() {
  const pid_t process = getpid();
  if (workers_process_.load(std::memory_order_acquire) != process) {
    // Only reached in a forked child: core_ changes at most once per process, before any
    // operation of that process has read it.
    std::lock_guard lock(restart_mutex_);
    if (workers_process_.load(std::memory_order_relaxed) != process) start_workers();
  }
  return *core_;
}

ThreadPool::~ThreadPool() {
  if (workers_process_.load(std::memory_order_acquire) == getpid()) core_->request_shutdown();
}

bool ThreadPool::owns_current_thread() const noexcept {
  return current_worker_core != nullptr && &current_worker_core->owner() == this;
}

ThreadPool& global_pool() {
  static ThreadPool& pool = create_global_pool();
  return pool;
}

ThreadPool& current_pool() {
  return current_worker_core != nullptr ? current_worker_core->owner() : global_pool();
}

std::size_t current_num_threads() {
  return current_worker_core != nullptr ? current_worker_core->worker_count()
                                        : global_pool().num_threads();
}

namespace detail {

void run_group(ThreadPool& pool, WorkGroup& group) {
  pool.live_core().run(group, pool.owns_current_thread());
}

}  // namespace detail
}  // namespace quillfen::parallel
