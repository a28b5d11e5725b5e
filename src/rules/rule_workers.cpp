// Evaluating a rule set's records on worker threads: the worker machine, the split of the
// records and the coordinating thread's wait.
#include "rules/rule_workers.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "rules/rule_lanes.hpp"
#include "runtime/errors.hpp"
#include "runtime/interruption.hpp"
#include "support/messages.hpp"
#include "vrel/detail/machine_baseline.hpp"
#include "vrel/detail/quiet_reports.hpp"
#include "vrel/evaluator.hpp"
#include "vrel/fatal.hpp"

namespace vrelpy::rules {
namespace {

using Place = vrel::Machine::Place;

constexpr std::size_t kBatch = kRecordBatch;
// Records a worker takes at a time: many batches, so that two workers seldom write next to
// each other in the result table (a cache line written by both goes back and forth).
constexpr std::size_t kTake = 16 * kBatch;

// What the threads of one evaluation share. `next` hands out batches; `stop` asks every
// worker to stop (set by the coordinator on a signal, or by a worker that failed as a whole);
// `failure` holds the first such failure, guarded by `mutex`, as does `running`.
struct Shared {
  const RuleProgram& program;
  const RecordTable& records;
  ResultTable& results;
  // Apart: every handing out of records writes `next`, and workers read `stop` often.
  alignas(64) std::atomic<std::size_t> next{0};
  alignas(64) std::atomic<bool> stop{false};
  std::mutex mutex;
  std::condition_variable finished;
  std::size_t running = 0;
  std::exception_ptr failure;
};

// The place of `id` in `machine`, unbound in the marked state unless the setup bound it.
Place place_of(const vrel::Machine& machine, const vrel::Identifier& id) {
  if (Place place = machine.place(id)) return place;
  Place place = machine.bind_place(id, vrel::Value());
  machine.unbind(id);
  return place;
}

// One thread's machine: the setup run in it, the places of the inputs and of the rules'
// names found once, then marked. Used by its thread only.
class WorkerMachine {
 public:
  WorkerMachine(const RuleProgram& program, const std::atomic<bool>& stop) : program_(program) {
    // Trees remember where their variables live (and their compact forms do) for one
    // machine at a time: threads sharing them would make each other search again and again.
    // Each worker runs copies of its own (an expression shared by the copies is read only).
    rules_.reserve(program.rules.size());
    for (const Rule& rule : program.rules) {
      rules_.push_back(rule.statements);
      std::vector<const vrel::Statement*>& borrowed = borrowed_.emplace_back();
      for (const vrel::Statement& s : rules_.back()) borrowed.push_back(&s);
    }
    machine_.set_limits(program.limits);
    vrel::deduce_borrowed(machine_, program.setup_borrowed);
    for (const vrel::Identifier& id : program.inputs)
      input_places_.push_back(place_of(machine_, id));
    for (const Rule& rule : program.rules) rule_places_.push_back(place_of(machine_, rule.name));
    // Limits could strike before a leading read: with any, every rule runs.
    if (!program.limits.any()) {
      for (const Rule& rule : program.rules) {
        std::vector<LeadingRead>& reads = leading_.emplace_back();
        for (std::size_t k = 0; k < rule.leading_reads.size(); ++k) {
          reads.push_back(LeadingRead{place_of(machine_, rule.leading_reads[k]),
                                      borrowed_failure(rule.leading_failures[k])});
        }
      }
    }
    lanes_ = std::make_unique<RuleLanes>(program, machine_, stop);
    vrel::detail::mark_baseline(machine_);
  }

  // Evaluates records `row` to `row + n` of `chunk` (records `index` on of the table):
  // together in lanes where the rules allow it, each on its own otherwise. Returns false
  // when the evaluation was interrupted.
  bool evaluate_run(const RecordChunk& chunk, std::size_t row, std::size_t index, std::size_t n,
                    ResultTable& results) {
    if (!lanes_->usable() || !lanes_->fits(chunk))
      return evaluate_each(chunk, row, index, n, results);
    while (n > 0) {
      const std::size_t part = std::min(n, vrel::detail::kLanes);
      if (lanes_skipped_ > 0) {
        // Records the lanes settled few of lately (most lack inputs, say): not worth trying
        // for a while.
        --lanes_skipped_;
        if (!evaluate_each(chunk, row, index, part, results)) return false;
      } else {
        if (!lanes_->evaluate(chunk, row, index, part, results, [&](std::size_t lane) {
              return evaluate(chunk, row + lane, index + lane, results);
            })) {
          return false;
        }
        if (lanes_->settled() * 4 < part) lanes_skipped_ = kLaneRetry;
      }
      row += part;
      index += part;
      n -= part;
    }
    return true;
  }

  bool evaluate_each(const RecordChunk& chunk, std::size_t row, std::size_t index, std::size_t n,
                     ResultTable& results) {
    for (std::size_t i = 0; i < n; ++i) {
      if (!evaluate(chunk, row + i, index + i, results)) return false;
    }
    return true;
  }

  // Evaluates record `row` of `chunk` (record `index` of the table). Returns false when the
  // evaluation was interrupted.
  bool evaluate(const RecordChunk& chunk, std::size_t row, std::size_t index,
                ResultTable& results) {
    for (std::size_t c = 0; c < chunk.columns.size(); ++c) {
      chunk.columns[c].bind(machine_, input_places_[c], row);
    }
    bool interrupted = false;
    for (std::size_t r = 0; r < program_.rules.size(); ++r) {
      const Place place = rule_places_[r];
      if (!leading_.empty()) {
        if (const FailureRef* unbound = first_unbound(leading_[r])) {
          results.set_error(index, r, *unbound);
          if (machine_.bound(place)) machine_.unbind(program_.rules[r].name);
          continue;
        }
      }
      // The run hands its failure back rather than throwing it: unwinding the native stack
      // would cost far more than the rest of a failing rule.
      std::optional<vrel::FatalError> failure = vrel::run_borrowed(machine_, borrowed_[r]);
      if (!failure) {
        if (!machine_.bound(place)) {
          // A program that did not bind its name (a branch without the let).
          results.set_error(index, r, borrowed_failure(program_.rules[r].not_bound));
          continue;
        }
        vrel::Value scratch;
        vrel::SharedValue held;
        results.set_value(index, r, machine_.read(place, scratch, held));
        continue;
      }
      if (failure->interrupted()) {
        interrupted = true;
        break;
      }
      results.set_error(index, r,
                        std::make_shared<const RuleFailure>(
                            RuleFailure{failure->message(), std::move(failure->place())}));
      // A failed rule leaves its name unbound for the later rules.
      if (machine_.bound(place)) machine_.unbind(program_.rules[r].name);
    }
    vrel::detail::reset_to_baseline(machine_);
    return !interrupted;
  }

 private:
  // A leading read of a rule (see Rule), and the rule's failure when it is the first
  // unbound one.
  struct LeadingRead {
    Place place;
    FailureRef failure;
  };
  const FailureRef* first_unbound(const std::vector<LeadingRead>& reads) const noexcept {
    for (const LeadingRead& read : reads) {
      if (!machine_.bound(read.place)) return &read.failure;
    }
    return nullptr;
  }

  const RuleProgram& program_;
  std::vector<std::vector<LeadingRead>> leading_;  // per rule; empty under limits
  std::vector<std::vector<vrel::Statement>> rules_;
  std::vector<std::vector<const vrel::Statement*>> borrowed_;
  vrel::Machine machine_;
  std::unique_ptr<RuleLanes> lanes_;
  // Runs of records still to evaluate one by one before the lanes are tried again.
  static constexpr int kLaneRetry = 16;
  int lanes_skipped_ = 0;
  std::vector<Place> input_places_;
  std::vector<Place> rule_places_;
};

// The locations of record `index` in the chunks: the chunk and the row in it.
struct ChunkCursor {
  const RecordTable* table;
  std::size_t chunk = 0;
  std::size_t first = 0;  // the index of the chunk's first record
  void seek(std::size_t index) {
    while (index >= first + table->chunks[chunk].rows) {
      first += table->chunks[chunk].rows;
      ++chunk;
    }
  }
  // Records from `index` on that the current chunk holds, at most `limit`.
  std::size_t rows_left(std::size_t index, std::size_t limit) const {
    return std::min(limit, first + table->chunks[chunk].rows - index);
  }
};

// Gives a worker thread a Python thread state of its own for its whole life, without the
// lock: each call of a Python function then only takes the lock, instead of making and
// destroying a thread state every time.
class WorkerThreadState {
 public:
  explicit WorkerThreadState(bool wanted) : wanted_(wanted) {
    if (!wanted_) return;
    gil_ = PyGILState_Ensure();
    saved_ = PyEval_SaveThread();
  }
  ~WorkerThreadState() {
    if (!wanted_) return;
    PyEval_RestoreThread(saved_);
    PyGILState_Release(gil_);
  }
  WorkerThreadState(const WorkerThreadState&) = delete;
  WorkerThreadState& operator=(const WorkerThreadState&) = delete;

 private:
  bool wanted_;
  PyGILState_STATE gil_{};
  PyThreadState* saved_ = nullptr;
};

void run_worker(Shared& shared) {
  WorkerThreadState thread_state(!shared.program.functions_called.empty());
  vrel::detail::QuietFatalReports quiet;
  StopFlagScope stop_scope(&shared.stop);
  try {
    WorkerMachine worker(shared.program, shared.stop);
    ChunkCursor cursor{&shared.records};
    const std::size_t rows = shared.records.rows;
    while (!shared.stop.load(std::memory_order_relaxed)) {
      const std::size_t begin = shared.next.fetch_add(kTake, std::memory_order_relaxed);
      if (begin >= rows) break;
      const std::size_t end = std::min(rows, begin + kTake);
      if (begin < cursor.first) cursor = ChunkCursor{&shared.records};
      for (std::size_t index = begin; index < end;) {
        cursor.seek(index);
        const std::size_t n = cursor.rows_left(index, end - index);
        if (!worker.evaluate_run(shared.records.chunks[cursor.chunk], index - cursor.first, index,
                                 n, shared.results)) {
          break;
        }
        index += n;
      }
    }
  } catch (...) {
    std::lock_guard<std::mutex> lock(shared.mutex);
    if (!shared.failure) shared.failure = std::current_exception();
    shared.stop.store(true, std::memory_order_relaxed);
  }
  std::lock_guard<std::mutex> lock(shared.mutex);
  if (--shared.running == 0) shared.finished.notify_all();
}

}  // namespace

bool evaluate_records(const RuleProgram& program, const RecordTable& records, ResultTable& results,
                      std::size_t workers) {
  Shared shared{program, records, results};
  workers = std::max<std::size_t>(1, std::min(workers, (records.rows + kBatch - 1) / kBatch));
  std::vector<std::thread> threads;
  threads.reserve(workers);
  shared.running = workers;
  bool signalled = false;
  Py_BEGIN_ALLOW_THREADS;
  try {
    for (std::size_t i = 0; i < workers; ++i) threads.emplace_back(run_worker, std::ref(shared));
  } catch (...) {
    std::lock_guard<std::mutex> lock(shared.mutex);
    shared.running -= workers - threads.size();
    if (!shared.failure) shared.failure = std::current_exception();
    shared.stop.store(true);
  }
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(shared.mutex);
      if (shared.finished.wait_for(lock, std::chrono::milliseconds(20),
                                   [&] { return shared.running == 0; })) {
        break;
      }
    }
    if (signalled) continue;
    // Signal handlers run on this thread, with the lock.
    Py_BLOCK_THREADS;
    if (PyErr_CheckSignals() < 0) {
      signalled = true;
      shared.stop.store(true);
    }
    Py_UNBLOCK_THREADS;
  }
  for (std::thread& t : threads) t.join();
  Py_END_ALLOW_THREADS;
  if (signalled) return false;
  if (shared.failure) std::rethrow_exception(shared.failure);
  return true;
}

}  // namespace vrelpy::rules
