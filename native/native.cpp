// greekmill._native: the array engine's entry points for the greekmill
// package.  It binds buffers and numbers, runs one operation of the core's
// table over them with the interpreter lock released, and reports failures
// as numbers; the Python layer normalises the inputs and writes the messages.
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030B0000
#endif
#include <Python.h>

// CPU affinity is Linux's; fork() handlers are POSIX's (Windows has no fork).
#if defined(__linux__)
#include <sched.h>
#endif
#if !defined(_WIN32)
#include <pthread.h>
#endif

#include <algorithm>
#include <cmath>
#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "batch/operations.hpp"
#include "batch/pool.hpp"

namespace {

namespace batch = greekmill::batch;

// ---- threads

// Interpreter exit.  Once the interpreter finalises, a thread that takes the
// interpreter lock back is ended by the runtime (pthread_exit), which unwinds
// the thread's C++ frames: through a noexcept frame of the pool that is
// std::terminate ("terminate called without an active exception"), and any
// other frame would release Python buffers without the lock.  So no thread
// takes the lock back in this module once the interpreter exits: the atexit
// hook below (which runs before finalisation, daemon threads still running)
// closes the door, waits for the threads already through it, and from then
// on a thread coming back from the engine parks for good, as Python 3.14
// parks threads itself; the process then exits around it.
//
// Two sequentially consistent atomics, no mutex (a child made by fork() must
// not inherit a lock held by a thread it does not have): a thread counts
// itself in, then looks at the door; the hook closes the door, then looks at
// the count.  At least one of them sees the other's write, so no thread
// reaches PyEval_RestoreThread unseen once the door is closed.
std::atomic<bool> interpreter_exiting{false};
std::atomic<unsigned> threads_taking_the_lock{0};

[[noreturn]] void park_forever() noexcept {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::hours(24));
    }
}

// PyEval_RestoreThread(state) for a thread that released the lock in this
// module: returns with the lock held, or never once the interpreter exits.
void take_the_lock_back(PyThreadState* state) noexcept {
    threads_taking_the_lock.fetch_add(1);
    if (interpreter_exiting.load()) {
        threads_taking_the_lock.fetch_sub(1);
        park_forever();
    }
    PyEval_RestoreThread(state);
    threads_taking_the_lock.fetch_sub(1);
}

// Registered with atexit when the module is loaded; holds the lock.
PyObject* at_exit(PyObject*, PyObject*) {
    interpreter_exiting.store(true);
    // Threads already counted wait for the interpreter lock: let them have
    // it (each is a moment from returning to Python code).
    Py_BEGIN_ALLOW_THREADS
    while (threads_taking_the_lock.load() != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

// The CPUs this process may run on: its affinity mask on Linux, the
// machine's count elsewhere.
[[nodiscard]] unsigned available_cpus() noexcept {
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) {
            return static_cast<unsigned>(count);
        }
    }
#endif
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware > 0 ? hardware : 1;
}

// One pool per process, made on first use with the interpreter lock held
// (which serialises its creation), with a worker for every CPU: the caller
// only waits and watches.  A child made by fork() has none of the parent's
// threads: the handler below forgets the parent's pool in the child (never
// destroying it, its mutex may have been held at the fork), and the child
// makes its own on first use.  Comparing process ids would not do: a child
// forked into a new PID namespace may get its parent's id.
batch::WorkerPool* process_pool = nullptr;

#if !defined(_WIN32)
void forget_pool_in_child() noexcept {
    process_pool = nullptr;
    threads_taking_the_lock.store(0);  // the threads it counted stayed in the parent
}
#endif

[[nodiscard]] unsigned machine_cpus() noexcept {
    return std::max(available_cpus(), std::thread::hardware_concurrency());
}

// Installed when the module is loaded, before any thread of it can be counted.
void install_fork_handler() noexcept {
#if !defined(_WIN32)
    static const bool handler_installed =
        pthread_atfork(nullptr, nullptr, forget_pool_in_child) == 0;
    (void)handler_installed;
#endif
}

batch::WorkerPool* pool_of_this_process() noexcept {
    install_fork_handler();
    const unsigned cpus = machine_cpus();
    if (process_pool == nullptr) {
        process_pool = new (std::nothrow) batch::WorkerPool(cpus);
    } else if (process_pool->workers() < cpus) {
        process_pool->grow(cpus);
    }
    return process_pool;
}

// Work worth less than this (in European-Greek units, about 70 ns each)
// stays on one thread: a hand-off to a worker costs tens of microseconds.
constexpr double kCostPerThread = 8192.0;
// A job on one thread is handed to a worker (and watched) only from this
// much work on: below it, a few milliseconds, the caller computes it itself.
constexpr double kWatchedWork = 16 * kCostPerThread;
// Chunks are small enough to balance uneven elements between threads and to
// let a caller without workers check for signals between them (about 70 ms
// of European Greeks; some 5,000 accurate American values)...
constexpr double kChunkWork = 1 << 20;
constexpr std::size_t kChunksPerThread = 8;
// ...and a chunk runs in steps this size, between which it stops when the job
// is cancelled and reports its progress: a cancelled job drains in about a
// millisecond of ordinary work (a few elements of the accurate engine).
constexpr double kStepWork = 1024.0;
// The cost of a grid solve (an option with cash dividends) relative to the
// operation's own.
constexpr double kGridCostFactor = 20.0;
// Ex-dates that cost about one more grid solve (each adds steps to every
// level of the solve).
constexpr double kDividendsPerGridCost = 16.0;

struct Job {
    const batch::Operation* op;
    batch::Inputs inputs;
    batch::Outputs outputs;
    batch::Settings settings;
    std::size_t n;
    std::size_t chunks;
    std::size_t step;
    std::atomic<std::size_t> done{0};  // elements computed
    std::mutex failures_mutex;
    batch::Failures failures;
    std::int8_t* reasons = nullptr;  // a Reason per element, or none
};

void run_chunk(void* context, std::size_t chunk, const std::atomic<bool>& stop) noexcept {
    Job& job = *static_cast<Job*>(context);
    const std::size_t begin = job.n * chunk / job.chunks;
    const std::size_t end = job.n * (chunk + 1) / job.chunks;
    batch::Failures failures;
    failures.reasons = job.reasons;
    // A solve over a long dividend schedule reads the job's stop between
    // ex-dates: a cancelled job does not wait for it.
    batch::Settings settings = job.settings;
    settings.dividends.cancel = &stop;
    for (std::size_t from = begin; from < end; from += job.step) {
        if (stop.load(std::memory_order_relaxed)) {
            break;
        }
        const std::size_t to = std::min(end, from + job.step);
        batch::run_range(*job.op, job.inputs, job.outputs, from, to, settings, failures);
        job.done.fetch_add(to - from, std::memory_order_relaxed);
    }
    if (failures.count != 0) {
        std::lock_guard lock(job.failures_mutex);
        job.failures.merge(failures);
    }
}

// What the waiting caller does every slice, briefly holding the interpreter
// lock: run the signal handlers (Ctrl-C raises KeyboardInterrupt there) and
// report progress.  An exception from either cancels the job.
struct Watcher {
    PyThreadState* released;  // the caller's thread state while the lock is released
    PyObject* progress;       // a callable of (done, total), or nullptr
    const Job* job;
    std::size_t reported = 0;
    bool reported_any = false;

    // With the lock held.  False with an exception set.
    bool report(std::size_t done) {
        if (progress == nullptr || (reported_any && done == reported)) {
            return true;
        }
        PyObject* result = PyObject_CallFunction(progress, "nn", static_cast<Py_ssize_t>(done),
                                                 static_cast<Py_ssize_t>(job->n));
        if (result == nullptr) {
            return false;
        }
        Py_DECREF(result);
        reported = done;
        reported_any = true;
        return true;
    }

    static bool check(void* context) noexcept {
        Watcher& self = *static_cast<Watcher*>(context);
        take_the_lock_back(self.released);
        // An exception already set (the pool asks again only after a yes) is
        // never carried into Python code.
        const bool go_on = !PyErr_Occurred() && PyErr_CheckSignals() == 0 &&
                           self.report(self.job->done.load(std::memory_order_relaxed));
        self.released = PyEval_SaveThread();
        return go_on;
    }
};

// ---- buffers

// A held buffer of one column, released on every path.
class HeldBuffer {
public:
    HeldBuffer() = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() {
        if (held_) {
            PyBuffer_Release(&view_);
        }
    }
    // False with an exception set.
    bool acquire(PyObject* obj, int flags) {
        if (PyObject_GetBuffer(obj, &view_, flags) != 0) {
            return false;
        }
        held_ = true;
        return true;
    }
    [[nodiscard]] const Py_buffer& view() const { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// Whether a buffer holds native items of the struct-module code `code` (the
// format may name native or little-endian order; this build is little-endian).
bool holds(const Py_buffer& view, char code) {
    const char* format = view.format != nullptr ? view.format : "B";
    if (*format == '@' || *format == '=' || *format == '<') {
        ++format;
    }
    return format[0] == code && format[1] == '\0';
}

// An input column is a Python float (a broadcast scalar) or a contiguous
// buffer of n doubles, or of one double (also a broadcast scalar).
bool bind_column(PyObject* obj, std::size_t n, double& scalar, HeldBuffer& held,
                 batch::Column& column, const char* name) {
    if (PyFloat_Check(obj)) {
        scalar = PyFloat_AsDouble(obj);
        column = {&scalar, 0};
        return true;
    }
    if (!held.acquire(obj, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) {
        return false;
    }
    const Py_buffer& view = held.view();
    const std::size_t count = static_cast<std::size_t>(view.len) / sizeof(double);
    if (!holds(view, 'd') || view.itemsize != static_cast<Py_ssize_t>(sizeof(double)) ||
        (count != n && count != 1)) {
        PyErr_Format(PyExc_ValueError, "column %s: expected %zd doubles", name,
                     static_cast<Py_ssize_t>(n));
        return false;
    }
    column = {static_cast<const double*>(view.buf), count == 1 && n != 1 ? 0u : 1u};
    if (n == 1) {
        column.stride = 0;
    }
    return true;
}

// The option-type column as the engine reads it: its pieces and the buffers
// they point into, held until the call returns.
//   an int                     one code (0 call, 1 put) for every option
//   (storage, width, pieces)   storage a batch::TypeStorage, width its element
//                              or index size; each piece (start, length, values,
//                              text, valid, offset, table), buffers or None
// Every size is checked here, so no piece can send a worker past a buffer.
class TypeBinding {
public:
    // False with an exception set.
    bool bind(PyObject* obj, std::size_t n) {
        if (PyLong_Check(obj)) {
            const long code = PyLong_AsLong(obj);
            if (code != 0 && code != 1) {
                return fail("option type: expected 0 (call) or 1 (put)");
            }
            scalar_ = static_cast<std::uint8_t>(code);
            one_ = {0, 1, &scalar_};
            source_ = {batch::TypeStorage::Codes, 1, 0, &one_, 1};
            return true;
        }
        long storage = -1;
        long width = 0;
        PyObject* pieces = nullptr;
        if (!PyTuple_Check(obj) || !PyArg_ParseTuple(obj, "llO!", &storage, &width,
                                                     &PyTuple_Type, &pieces)) {
            return fail("option types: expected an int or (storage, width, pieces)");
        }
        if (storage < 0 || storage > static_cast<long>(batch::TypeStorage::UnsignedDictionary) ||
            width < 1 || width > (1L << 20)) {
            return fail("option types: unknown storage");
        }
        source_.storage = static_cast<batch::TypeStorage>(storage);
        source_.width = static_cast<std::size_t>(width);
        const Py_ssize_t count = PyTuple_Size(pieces);
        pieces_.resize(static_cast<std::size_t>(count));
        held_ = std::make_unique<HeldBuffer[]>(static_cast<std::size_t>(count) * 4);
        std::size_t total = 0;
        for (Py_ssize_t p = 0; p < count; ++p) {
            if (!bind_piece(PyTuple_GetItem(pieces, p), static_cast<std::size_t>(p), total)) {
                return false;
            }
            total += pieces_[static_cast<std::size_t>(p)].length;
        }
        if (total != n && total != 1) {
            PyErr_Format(PyExc_ValueError, "option types: %zd elements for %zd options",
                         static_cast<Py_ssize_t>(total), static_cast<Py_ssize_t>(n));
            return false;
        }
        source_.pieces = pieces_.data();
        source_.piece_count = pieces_.size();
        source_.stride = total == n && n != 1 ? 1 : 0;
        if (source_.stride == 0 && total == 1) {
            // One element broadcast: the engine reads pieces[0][0], so empty
            // pieces before it are dropped.
            std::size_t p = 0;
            while (pieces_[p].length == 0) {
                ++p;
            }
            pieces_[p].start = 0;
            source_.pieces = &pieces_[p];
            source_.piece_count = 1;
        }
        return true;
    }
    [[nodiscard]] const batch::TypeSource& source() const { return source_; }

private:
    static bool fail(const char* message) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ValueError, message);
        }
        return false;
    }

    // The buffer `obj` (or none for None) of at least `bytes` bytes.
    const void* buffer(PyObject* obj, HeldBuffer& held, std::size_t bytes, bool optional) {
        if (obj == Py_None && optional) {
            return nullptr;
        }
        if (!held.acquire(obj, PyBUF_C_CONTIGUOUS)) {
            return nullptr;
        }
        if (static_cast<std::size_t>(held.view().len) < bytes) {
            PyErr_SetString(PyExc_ValueError, "option types: a buffer is too short");
            return nullptr;
        }
        return held.view().buf;
    }

    bool bind_piece(PyObject* item, std::size_t p, std::size_t start) {
        Py_ssize_t start_given = 0, length = 0, offset = 0;
        PyObject *values = nullptr, *text = nullptr, *valid = nullptr, *table = nullptr;
        if (item == nullptr || !PyTuple_Check(item) ||
            !PyArg_ParseTuple(item, "nnOOOnO", &start_given, &length, &values, &text, &valid,
                              &offset, &table)) {
            return fail("option types: a piece is (start, length, values, text, valid, "
                        "offset, table)");
        }
        if (start_given != static_cast<Py_ssize_t>(start) || length < 0 || offset < 0) {
            return fail("option types: pieces must follow each other");
        }
        batch::TypePiece& piece = pieces_[p];
        HeldBuffer* held = &held_[4 * p];
        piece.start = start;
        piece.length = static_cast<std::size_t>(length);
        piece.offset = static_cast<std::size_t>(offset);
        const std::size_t end = piece.offset + piece.length;
        const std::size_t width = source_.width;
        switch (source_.storage) {
            case batch::TypeStorage::Codes: piece.values = buffer(values, held[0], end, false); break;
            case batch::TypeStorage::Utf32:
            case batch::TypeStorage::Bytes:
                if (source_.storage == batch::TypeStorage::Utf32 && width % 4 != 0) {
                    return fail("option types: UCS-4 text of a width not a multiple of 4");
                }
                piece.values = buffer(values, held[0], end * width, false);
                break;
            case batch::TypeStorage::Dictionary:
            case batch::TypeStorage::UnsignedDictionary:
                if (width != 1 && width != 2 && width != 4 && width != 8) {
                    return fail("option types: dictionary indices of 1, 2, 4 or 8 bytes");
                }
                piece.values = buffer(values, held[0], end * width, false);
                if (piece.values != nullptr) {
                    piece.table = static_cast<const std::uint8_t*>(buffer(table, held[1], 0, false));
                    piece.table_size = static_cast<std::size_t>(held[1].view().len);
                    if (piece.table == nullptr && PyErr_Occurred()) {
                        return false;
                    }
                }
                break;
            case batch::TypeStorage::Utf8:
            case batch::TypeStorage::LargeUtf8: {
                const std::size_t size = source_.storage == batch::TypeStorage::Utf8 ? 4 : 8;
                if (width != size) {
                    return fail("option types: offsets of 4 (string) or 8 (large string) bytes");
                }
                piece.values = buffer(values, held[0], (end + 1) * size, false);
                if (piece.values == nullptr) {
                    return false;
                }
                piece.text = static_cast<const std::uint8_t*>(buffer(text, held[1], 0, true));
                if (PyErr_Occurred()) {
                    return false;
                }
                if (!offsets_within(piece, size, piece.text == nullptr
                                                      ? 0
                                                      : static_cast<std::size_t>(held[1].view().len))) {
                    return fail("option types: string offsets outside their buffer");
                }
                break;
            }
        }
        if (piece.values == nullptr) {
            return false;
        }
        piece.valid = static_cast<const std::uint8_t*>(buffer(valid, held[2], (end + 7) / 8, true));
        return !PyErr_Occurred();
    }

    // Arrow offsets only grow, so the first and the last bound them all.
    static bool offsets_within(const batch::TypePiece& piece, std::size_t size,
                               std::size_t text_bytes) {
        const auto at = [&](std::size_t j) -> std::int64_t {
            if (size == 4) {
                return static_cast<const std::int32_t*>(piece.values)[j];
            }
            return static_cast<const std::int64_t*>(piece.values)[j];
        };
        std::int64_t previous = at(piece.offset);
        if (previous < 0) {
            return false;
        }
        for (std::size_t j = piece.offset + 1; j <= piece.offset + piece.length; ++j) {
            const std::int64_t next = at(j);
            if (next < previous) {
                return false;
            }
            previous = next;
        }
        return static_cast<std::uint64_t>(previous) <= text_bytes;
    }

    std::uint8_t scalar_ = 0;
    batch::TypePiece one_{};
    batch::TypeSource source_{};
    std::vector<batch::TypePiece> pieces_;
    std::unique_ptr<HeldBuffer[]> held_;
};

bool settings_from(long precision, long accuracy, long width, batch::Settings& settings) {
    if (precision < 0 || precision > 1 || accuracy < 0 || accuracy > 2 || width < 0 ||
        width > 3) {
        PyErr_SetString(PyExc_ValueError, "settings out of range");
        return false;
    }
    settings.precision = static_cast<batch::Precision>(precision);
    settings.accuracy = static_cast<greekmill::american::Accuracy>(accuracy);
    settings.width = static_cast<greekmill::fast::Width>(width);
    return true;
}

// A cash-dividend schedule: None, or (times, amounts), two buffers of the
// same number of doubles, checked and sorted by the Python layer.
bool bind_schedule(PyObject* obj, std::array<HeldBuffer, 2>& held,
                   greekmill::dividends::Schedule& schedule) {
    if (obj == Py_None) {
        return true;
    }
    if (!PyTuple_Check(obj) || PyTuple_Size(obj) != 2) {
        PyErr_SetString(PyExc_TypeError, "dividends: expected None or (times, amounts)");
        return false;
    }
    std::array<std::size_t, 2> counts{};
    std::array<const double*, 2> data{};
    for (Py_ssize_t i = 0; i < 2; ++i) {
        if (!held[i].acquire(PyTuple_GetItem(obj, i), PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) {
            return false;
        }
        const Py_buffer& view = held[i].view();
        if (!holds(view, 'd') || view.itemsize != static_cast<Py_ssize_t>(sizeof(double))) {
            PyErr_SetString(PyExc_ValueError, "dividends: expected buffers of doubles");
            return false;
        }
        counts[i] = static_cast<std::size_t>(view.len) / sizeof(double);
        data[i] = static_cast<const double*>(view.buf);
    }
    if (counts[0] != counts[1]) {
        PyErr_SetString(PyExc_ValueError, "dividends: times and amounts differ in length");
        return false;
    }
    // The engine reads the times in order: finite, >= 0 and ascending, the
    // amounts finite and >= 0 (what greekmill.Dividends guarantees).
    for (std::size_t i = 0; i < counts[0]; ++i) {
        const double time = data[0][i];
        const double amount = data[1][i];
        const bool ordered = i == 0 || data[0][i - 1] <= time;
        if (!(time >= 0.0 && time < INFINITY && amount >= 0.0 && amount < INFINITY && ordered)) {
            PyErr_SetString(PyExc_ValueError,
                            "dividends: times must be finite, >= 0 and ascending, amounts "
                            "finite and >= 0");
            return false;
        }
    }
    schedule = {{data[0], counts[0]}, {data[1], counts[1]}};
    return true;
}

const batch::Operation* operation_at(long index) {
    const auto ops = batch::operations();
    if (index < 0 || static_cast<std::size_t>(index) >= ops.size()) {
        PyErr_SetString(PyExc_ValueError, "unknown operation");
        return nullptr;
    }
    return &ops[static_cast<std::size_t>(index)];
}

// ---- functions

int option_type_code(PyObject* text);

constexpr const char* kColumnNames[] = {"price", "s", "k", "t", "r", "sigma", "q"};

// The number of threads a call may use: threads <= 0 means every CPU the
// process may run on; more than the machine has gives no more (the pool has
// one worker per CPU of the machine).
[[nodiscard]] unsigned threads_for(PyObject* threads_arg, bool& ok) {
    int overflow = 0;
    const long threads = PyLong_AsLongAndOverflow(threads_arg, &overflow);
    ok = !(threads == -1 && PyErr_Occurred());
    if (overflow != 0 || threads <= 0) {
        return overflow > 0 ? machine_cpus() : available_cpus();
    }
    return static_cast<unsigned>(std::min<long>(threads, machine_cpus()));
}

// compute(op, precision, accuracy, width, n, threads, inputs, outputs, progress[, dividends
//         [, reasons]])
//   inputs: (price, s, k, t, r, sigma, q, option_type), each a float or a
//   buffer of doubles; option_type 0, 1 or a buffer of bytes.  outputs: a
//   tuple of writable buffers of n doubles.  progress: None or a callable of
//   (done, total).  dividends: None or (times, amounts), see bind_schedule.
//   reasons: None or a writable buffer of n int8 set to 0, where each failing
//   element's batch::Reason is written.
//   Returns (failed, first_index, reason); raises what the signal handlers or
//   `progress` raise, the job then abandoned.
PyObject* compute(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 9 || nargs > 11 || !PyTuple_Check(args[6]) || !PyTuple_Check(args[7])) {
        PyErr_SetString(PyExc_TypeError, "compute(op, precision, accuracy, width, n, threads, "
                                         "inputs, outputs, progress[, dividends[, reasons]])");
        return nullptr;
    }
    std::array<long, 4> codes{};
    for (std::size_t i = 0; i < 4; ++i) {
        codes[i] = PyLong_AsLong(args[i]);
        if (codes[i] == -1 && PyErr_Occurred()) {
            return nullptr;
        }
    }
    const auto [op_index, precision, accuracy, width] = codes;
    const Py_ssize_t n_signed = PyLong_AsSsize_t(args[4]);
    if (n_signed == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    bool threads_ok = false;
    const unsigned threads = threads_for(args[5], threads_ok);
    if (!threads_ok) {
        return nullptr;
    }
    PyObject* inputs = args[6];
    PyObject* outputs = args[7];
    PyObject* progress = args[8] == Py_None ? nullptr : args[8];
    if (progress != nullptr && !PyCallable_Check(progress)) {
        PyErr_SetString(PyExc_TypeError, "compute: progress must be None or a callable");
        return nullptr;
    }
    const batch::Operation* op = operation_at(op_index);
    batch::Settings settings;
    if (op == nullptr || !settings_from(precision, accuracy, width, settings)) {
        return nullptr;
    }
    // n doubles must fit in one buffer: beyond that n * 8 would wrap around.
    constexpr auto kMaxElements = static_cast<Py_ssize_t>(PY_SSIZE_T_MAX / sizeof(double));
    if (n_signed < 0 || n_signed > kMaxElements) {
        PyErr_SetString(PyExc_ValueError, "compute: n out of range");
        return nullptr;
    }
    if (PyTuple_Size(inputs) != 8 || PyTuple_Size(outputs) != op->outputs) {
        PyErr_SetString(PyExc_ValueError, "compute: wrong number of columns");
        return nullptr;
    }
    const auto n = static_cast<std::size_t>(n_signed);
    std::array<HeldBuffer, 2> held_schedule;
    if (nargs >= 10 && !bind_schedule(args[9], held_schedule, settings.dividends)) {
        return nullptr;
    }
    HeldBuffer held_reasons;
    std::int8_t* reasons = nullptr;
    if (nargs == 11 && args[10] != Py_None) {
        if (!held_reasons.acquire(args[10], PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE | PyBUF_FORMAT)) {
            return nullptr;
        }
        const Py_buffer& view = held_reasons.view();
        if (!holds(view, 'b') || static_cast<std::size_t>(view.len) != n) {
            PyErr_SetString(PyExc_ValueError, "compute: reasons must be n int8");
            return nullptr;
        }
        reasons = static_cast<std::int8_t*>(view.buf);
    }
    // An element with dividends goes to the grid solver, some twenty times
    // the cost of the operation's usual engine: the work is split to match.
    // A grid solve's cost grows with the ex-dates it crosses: a long schedule
    // is work for the watched workers even for one element.
    const double cost =
        op->cost * (settings.dividends.times.empty()
                        ? 1.0
                        : kGridCostFactor * (1.0 + static_cast<double>(
                                                       settings.dividends.times.size()) /
                                                       kDividendsPerGridCost));

    std::array<double, 7> scalars{};
    std::array<HeldBuffer, 7> held_inputs;
    std::array<batch::Column, 7> columns;
    for (std::size_t c = 0; c < 7; ++c) {
        PyObject* item = PyTuple_GetItem(inputs, static_cast<Py_ssize_t>(c));
        if (item == nullptr ||
            !bind_column(item, n, scalars[c], held_inputs[c], columns[c], kColumnNames[c])) {
            return nullptr;
        }
    }
    TypeBinding types;
    PyObject* type_item = PyTuple_GetItem(inputs, 7);
    if (type_item == nullptr || !types.bind(type_item, n)) {
        return nullptr;
    }
    std::array<HeldBuffer, 6> held_outputs;
    batch::Outputs out;
    for (int j = 0; j < op->outputs; ++j) {
        PyObject* item = PyTuple_GetItem(outputs, j);
        if (item == nullptr || !held_outputs[j].acquire(item, PyBUF_CONTIG | PyBUF_FORMAT)) {
            return nullptr;
        }
        const Py_buffer& view = held_outputs[j].view();
        if (!holds(view, 'd') || view.itemsize != static_cast<Py_ssize_t>(sizeof(double)) ||
            static_cast<std::size_t>(view.len) != n * sizeof(double)) {
            PyErr_SetString(PyExc_ValueError, "compute: outputs must be n doubles each");
            return nullptr;
        }
        out.out[j] = static_cast<double*>(view.buf);
    }

    Job job;
    job.op = op;
    job.inputs = {columns[0], columns[1], columns[2], columns[3], columns[4], columns[5],
                  columns[6], {}, types.source()};
    job.outputs = out;
    job.settings = settings;
    job.n = n;
    job.reasons = reasons;

    const double work = static_cast<double>(n) * cost;
    const auto worth = static_cast<unsigned>(
        std::min(static_cast<double>(threads), std::max(1.0, work / kCostPerThread)));
    const std::size_t chunks = std::clamp<std::size_t>(
        std::max(static_cast<std::size_t>(work / kChunkWork), std::size_t{worth} * kChunksPerThread),
        1, std::max<std::size_t>(n, 1));
    job.chunks = chunks;
    job.step = static_cast<std::size_t>(std::max(1.0, kStepWork / cost));

    // Small work runs on the caller at once; anything longer goes to the
    // workers while the caller watches for signals and reports progress.
    batch::WorkerPool* pool = work >= kWatchedWork || worth > 1 ? pool_of_this_process() : nullptr;
    Watcher watcher{nullptr, progress, &job};
    const batch::Watch watch{Watcher::check, &watcher};
    bool finished = true;
    if (n > 0) {
        watcher.released = PyEval_SaveThread();
        if (pool != nullptr) {
            finished = pool->run(chunks, worth, run_chunk, &job, watch);
        } else {
            finished = batch::run_on_caller(chunks, run_chunk, &job, watch);
        }
        take_the_lock_back(watcher.released);
    }
    if (!finished || !watcher.report(n)) {
        return nullptr;
    }
    const batch::Failures& failures = job.failures;
    const Py_ssize_t first =
        failures.count == 0 ? -1 : static_cast<Py_ssize_t>(failures.first_index);
    const Py_ssize_t first_type =
        failures.type_count == 0 ? -1 : static_cast<Py_ssize_t>(failures.first_type_index);
    return Py_BuildValue("(nninn)", static_cast<Py_ssize_t>(failures.count), first,
                         static_cast<int>(failures.first_reason),
                         static_cast<Py_ssize_t>(failures.type_count), first_type);
}

// option_codes(types, n, codes): decodes an option-type column (as compute
// takes it) into a writable buffer of n bytes, 0 call, 1 put, 2 neither, on
// the calling thread.  For columns that must be broadcast first.
PyObject* option_codes(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "option_codes(types, n, codes)");
        return nullptr;
    }
    const Py_ssize_t n = PyLong_AsSsize_t(args[1]);
    if (n < 0) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ValueError, "option_codes: n < 0");
        }
        return nullptr;
    }
    TypeBinding types;
    HeldBuffer held;
    if (!types.bind(args[0], static_cast<std::size_t>(n)) ||
        !held.acquire(args[2], PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE)) {
        return nullptr;
    }
    if (held.view().len != n) {
        PyErr_SetString(PyExc_ValueError, "option_codes: codes of the wrong size");
        return nullptr;
    }
    batch::decode_option_types(types.source(), 0, static_cast<std::size_t>(n),
                               static_cast<std::uint8_t*>(held.view().buf));
    Py_RETURN_NONE;
}

// codes_of_objects(objects, codes): the option types of a numpy object array
// (its buffer of object pointers) into a writable buffer of bytes, with the
// interpreter lock held: 0 call, 1 put, 2 anything else (None, NaN, pd.NA, a
// number, a misspelt text).  Books repeat a handful of string objects, so
// the last two objects seen are remembered by address.
PyObject* codes_of_objects(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "codes_of_objects(objects, codes)");
        return nullptr;
    }
    HeldBuffer objects;
    HeldBuffer codes;
    if (!objects.acquire(args[0], PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) ||
        !codes.acquire(args[1], PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE)) {
        return nullptr;
    }
    const Py_buffer& view = objects.view();
    if (view.format == nullptr || std::string_view(view.format) != "O" ||
        view.itemsize != static_cast<Py_ssize_t>(sizeof(PyObject*))) {
        PyErr_SetString(PyExc_TypeError, "codes_of_objects: not an array of objects");
        return nullptr;
    }
    const std::size_t n = static_cast<std::size_t>(view.len) / sizeof(PyObject*);
    if (static_cast<std::size_t>(codes.view().len) != n) {
        PyErr_SetString(PyExc_ValueError, "codes_of_objects: codes of the wrong size");
        return nullptr;
    }
    PyObject* const* items = static_cast<PyObject* const*>(view.buf);
    auto* out = static_cast<std::uint8_t*>(codes.view().buf);
    PyObject* seen[2] = {nullptr, nullptr};
    std::uint8_t seen_code[2] = {0, 0};
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* item = items[i];
        // Calls and puts alternate at random: one well-predicted test for
        // "seen", then a select rather than a branch between the two.
        const bool first = item == seen[0];
        if (first | (item == seen[1])) {
            out[i] = first ? seen_code[0] : seen_code[1];
            continue;
        }
        int code = -1;
        if (Py_TYPE(item) == &PyUnicode_Type) {
            // An exact str: its UTF-8 form, cached in the object for ASCII text.
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
            if (utf8 == nullptr) {
                PyErr_Clear();  // not encodable (lone surrogates): not an option type
            } else {
                code = batch::option_type_of_utf8(reinterpret_cast<const std::uint8_t*>(utf8),
                                                  static_cast<std::size_t>(size));
            }
        } else {
            code = option_type_code(item);  // str subclasses; anything else gives -1
        }
        out[i] = code < 0 ? batch::kNotAnOptionType : static_cast<std::uint8_t>(code);
        seen[1] = seen[0];
        seen_code[1] = seen_code[0];
        seen[0] = item;
        seen_code[0] = out[i];
    }
    Py_RETURN_NONE;
}

// The index of `text` among `names`, or -1 (also when `text` is not a str).
int index_of(PyObject* text, std::initializer_list<const char*> names) {
    if (!PyUnicode_Check(text)) {
        return -1;
    }
    int i = 0;
    for (const char* name : names) {
        if (PyUnicode_CompareWithASCIIString(text, name) == 0) {
            return i;
        }
        ++i;
    }
    return -1;
}

// 0 call, 1 put, -1 anything else: "call", "put", "c", "p" in any mix of
// ASCII letter case, as the package's OPTION_TYPES table.
int option_type_code(PyObject* text) {
    if (!PyUnicode_Check(text)) {
        return -1;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return -1;
    }
    if (size < 1 || size > 4) {
        return -1;
    }
    char lower[5] = {0, 0, 0, 0, 0};
    for (Py_ssize_t i = 0; i < size; ++i) {
        const char c = utf8[i];
        lower[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
    }
    const std::string_view word(lower, static_cast<std::size_t>(size));
    if (word == "call" || word == "c") {
        return 0;
    }
    if (word == "put" || word == "p") {
        return 1;
    }
    return -1;
}

// One option on the calling thread releases the interpreter lock around
// work of at least this cost (implied volatility, the closed form, the
// accurate engine), so that other Python threads run meanwhile.  Releasing
// and taking it back costs about 27 ns uncontended, 8-20 % of a European
// price or Greek (126-353 ns), which keep it; from a European implied
// volatility (about 350 ns) on, the work dwarfs it.
constexpr double kReleasedScalarCost = 5.0;

// evaluate(op, precision, accuracy, errors, option_type, price, s, k, t, r,
// sigma, q) for one option, on the calling thread: a float (or a tuple of
// five); with errors="raise" the failure's number as an int; NotImplemented
// when any argument is not plain (a number that is not a float or an int, an
// unknown keyword value, an option type that is not one of the accepted
// strings), and the caller then takes the general path, which reports it.
PyObject* evaluate(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 12) {
        PyErr_SetString(PyExc_TypeError, "evaluate takes 12 arguments");
        return nullptr;
    }
    const long op_index = PyLong_AsLong(args[0]);
    if (op_index == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    const batch::Operation* op = operation_at(op_index);
    if (op == nullptr) {
        return nullptr;
    }
    const int precision = index_of(args[1], {"exact", "fast"});
    const int accuracy = index_of(args[2], {"fast", "accurate", "high"});
    const int errors = index_of(args[3], {"raise", "nan"});
    const int type_code = option_type_code(args[4]);
    if (precision < 0 || accuracy < 0 || errors < 0 || type_code < 0) {
        Py_INCREF(Py_NotImplemented);
        return Py_NotImplemented;
    }
    batch::Settings settings;
    settings.precision = static_cast<batch::Precision>(precision);
    settings.accuracy = static_cast<greekmill::american::Accuracy>(accuracy);
    std::array<double, 7> values{};
    for (std::size_t c = 0; c < 7; ++c) {
        PyObject* number = args[5 + c];
        if (PyFloat_Check(number)) {
            values[c] = PyFloat_AsDouble(number);
        } else if (PyLong_Check(number)) {
            values[c] = PyLong_AsDouble(number);  // OverflowError past the largest double
            if (values[c] == -1.0 && PyErr_Occurred()) {
                return nullptr;
            }
        } else {
            Py_INCREF(Py_NotImplemented);
            return Py_NotImplemented;
        }
    }
    const std::uint8_t type = static_cast<std::uint8_t>(type_code);
    const batch::TypePiece type_piece{0, 1, &type};
    batch::Inputs x{{&values[0], 0}, {&values[1], 0}, {&values[2], 0}, {&values[3], 0},
                    {&values[4], 0}, {&values[5], 0}, {&values[6], 0}, {&type, 0},
                    {batch::TypeStorage::Codes, 1, 0, &type_piece, 1}};
    std::array<double, 6> results{};
    batch::Outputs y{{&results[0], &results[1], &results[2], &results[3], &results[4],
                      &results[5]}};
    batch::Failures failures;
    if (op->cost >= kReleasedScalarCost) {
        PyThreadState* released = PyEval_SaveThread();
        batch::run_range(*op, x, y, 0, 1, settings, failures);
        take_the_lock_back(released);
    } else {
        batch::run_range(*op, x, y, 0, 1, settings, failures);
    }
    if (failures.count != 0 && errors == 0) {
        return PyLong_FromLong(static_cast<long>(failures.first_reason));
    }
    if (op->outputs == 1) {
        return PyFloat_FromDouble(results[0]);
    }
    if (op->outputs == 6) {
        return Py_BuildValue("(dddddd)", results[0], results[1], results[2], results[3],
                             results[4], results[5]);
    }
    return Py_BuildValue("(ddddd)", results[0], results[1], results[2], results[3], results[4]);
}

PyObject* operation_table(PyObject*, PyObject*) {
    const auto ops = batch::operations();
    PyObject* table = PyDict_New();
    if (table == nullptr) {
        return nullptr;
    }
    for (std::size_t i = 0; i < ops.size(); ++i) {
        PyObject* entry = Py_BuildValue("(ni)", static_cast<Py_ssize_t>(i), ops[i].outputs);
        if (entry == nullptr || PyDict_SetItemString(table, ops[i].name, entry) != 0) {
            Py_XDECREF(entry);
            Py_DECREF(table);
            return nullptr;
        }
        Py_DECREF(entry);
    }
    return table;
}

PyObject* cpu_count(PyObject*, PyObject*) {
    return PyLong_FromUnsignedLong(available_cpus());
}

PyMethodDef kMethods[] = {
    {"compute", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compute)),
     METH_FASTCALL, "Run one operation over columns of options."},
    {"evaluate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(evaluate)),
     METH_FASTCALL, "Run one operation for one option."},
    {"option_codes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(option_codes)),
     METH_FASTCALL, "Decode an option-type column into codes."},
    {"codes_of_objects",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(codes_of_objects)), METH_FASTCALL,
     "Option-type codes of an array of objects."},
    {"operation_table", operation_table, METH_NOARGS,
     "The operations: name -> (index, number of outputs)."},
    {"cpu_count", cpu_count, METH_NOARGS, "CPUs this process may run on."},
    {"_at_exit", at_exit, METH_NOARGS,
     "Run by atexit: threads in the engine park instead of meeting the finalising interpreter."},
    {nullptr, nullptr, 0, nullptr},
};

// Registers at_exit with the atexit module (see take_the_lock_back).
int exec_module(PyObject* module) {
    install_fork_handler();
    PyObject* hook = PyObject_GetAttrString(module, "_at_exit");
    PyObject* atexit = hook != nullptr ? PyImport_ImportModule("atexit") : nullptr;
    PyObject* done = atexit != nullptr ? PyObject_CallMethod(atexit, "register", "O", hook)
                                       : nullptr;
    Py_XDECREF(done);
    Py_XDECREF(atexit);
    Py_XDECREF(hook);
    return done != nullptr ? 0 : -1;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "greekmill._native",
    "The array engine of the greekmill package (internal).", 0, kMethods, kSlots,
    nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&kModule); }
