// greekmill._native: the array engine's entry points for the greekmill
// package.  It binds buffers and numbers, runs one operation of the core's
// table over them with the interpreter lock released, and reports failures
// as numbers; the Python layer normalises the inputs and writes the messages.
#define Py_LIMITED_API 0x030B0000
#include <Python.h>

#include <sched.h>
#include <unistd.h>

#include <pthread.h>

#include <algorithm>
#include <cmath>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <string_view>
#include <thread>

#include "batch/operations.hpp"
#include "batch/pool.hpp"

namespace {

namespace batch = greekmill::batch;

// ---- threads

[[nodiscard]] unsigned available_cpus() noexcept {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) {
            return static_cast<unsigned>(count);
        }
    }
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

void forget_pool_in_child() noexcept { process_pool = nullptr; }

[[nodiscard]] unsigned machine_cpus() noexcept {
    return std::max(available_cpus(), std::thread::hardware_concurrency());
}

batch::WorkerPool* pool_of_this_process() noexcept {
    static const bool handler_installed =
        pthread_atfork(nullptr, nullptr, forget_pool_in_child) == 0;
    (void)handler_installed;
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
};

void run_chunk(void* context, std::size_t chunk, const std::atomic<bool>& stop) noexcept {
    Job& job = *static_cast<Job*>(context);
    const std::size_t begin = job.n * chunk / job.chunks;
    const std::size_t end = job.n * (chunk + 1) / job.chunks;
    batch::Failures failures;
    for (std::size_t from = begin; from < end; from += job.step) {
        if (stop.load(std::memory_order_relaxed)) {
            break;
        }
        const std::size_t to = std::min(end, from + job.step);
        batch::run_range(*job.op, job.inputs, job.outputs, from, to, job.settings, failures);
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
        PyEval_RestoreThread(self.released);
        const bool go_on = PyErr_CheckSignals() == 0 &&
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

bool bind_types(PyObject* obj, std::size_t n, std::uint8_t& scalar, HeldBuffer& held,
                batch::TypeColumn& column) {
    if (PyLong_Check(obj)) {
        const long code = PyLong_AsLong(obj);
        if (code != 0 && code != 1) {
            if (!PyErr_Occurred()) {
                PyErr_SetString(PyExc_ValueError, "option type: expected 0 (call) or 1 (put)");
            }
            return false;
        }
        scalar = static_cast<std::uint8_t>(code);
        column = {&scalar, 0};
        return true;
    }
    if (!held.acquire(obj, PyBUF_C_CONTIGUOUS)) {
        return false;
    }
    const Py_buffer& view = held.view();
    const std::size_t count = static_cast<std::size_t>(view.len);
    if (view.itemsize != 1 || (count != n && count != 1)) {
        PyErr_Format(PyExc_ValueError, "option types: expected %zd bytes",
                     static_cast<Py_ssize_t>(n));
        return false;
    }
    column = {static_cast<const std::uint8_t*>(view.buf), count == 1 || n == 1 ? 0u : 1u};
    return true;
}

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

// compute(op, precision, accuracy, width, n, threads, inputs, outputs, progress[, dividends])
//   inputs: (price, s, k, t, r, sigma, q, option_type), each a float or a
//   buffer of doubles; option_type 0, 1 or a buffer of bytes.  outputs: a
//   tuple of writable buffers of n doubles.  progress: None or a callable of
//   (done, total).  dividends: None or (times, amounts), see bind_schedule.
//   Returns (failed, first_index, reason); raises what the signal handlers or
//   `progress` raise, the job then abandoned.
PyObject* compute(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if ((nargs != 9 && nargs != 10) || !PyTuple_Check(args[6]) || !PyTuple_Check(args[7])) {
        PyErr_SetString(PyExc_TypeError, "compute(op, precision, accuracy, width, n, threads, "
                                         "inputs, outputs, progress[, dividends])");
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
    if (nargs == 10 && !bind_schedule(args[9], held_schedule, settings.dividends)) {
        return nullptr;
    }
    // An element with dividends goes to the grid solver, some twenty times
    // the cost of the operation's usual engine: the work is split to match.
    const double cost = op->cost * (settings.dividends.times.empty() ? 1.0 : kGridCostFactor);

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
    std::uint8_t type_scalar = 0;
    HeldBuffer held_types;
    batch::TypeColumn types;
    PyObject* type_item = PyTuple_GetItem(inputs, 7);
    if (type_item == nullptr || !bind_types(type_item, n, type_scalar, held_types, types)) {
        return nullptr;
    }
    std::array<HeldBuffer, 5> held_outputs;
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
                  columns[6], types};
    job.outputs = out;
    job.settings = settings;
    job.n = n;

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
        PyEval_RestoreThread(watcher.released);
    }
    if (!finished || !watcher.report(n)) {
        return nullptr;
    }
    const batch::Failures& failures = job.failures;
    const Py_ssize_t first =
        failures.count == 0 ? -1 : static_cast<Py_ssize_t>(failures.first_index);
    return Py_BuildValue("(nni)", static_cast<Py_ssize_t>(failures.count), first,
                         static_cast<int>(failures.first_reason));
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
    batch::Inputs x{{&values[0], 0}, {&values[1], 0}, {&values[2], 0}, {&values[3], 0},
                    {&values[4], 0}, {&values[5], 0}, {&values[6], 0}, {&type, 0}};
    std::array<double, 5> results{};
    batch::Outputs y{{&results[0], &results[1], &results[2], &results[3], &results[4]}};
    batch::Failures failures;
    if (op->cost >= kReleasedScalarCost) {
        Py_BEGIN_ALLOW_THREADS
        batch::run_range(*op, x, y, 0, 1, settings, failures);
        Py_END_ALLOW_THREADS
    } else {
        batch::run_range(*op, x, y, 0, 1, settings, failures);
    }
    if (failures.count != 0 && errors == 0) {
        return PyLong_FromLong(static_cast<long>(failures.first_reason));
    }
    if (op->outputs == 1) {
        return PyFloat_FromDouble(results[0]);
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
    {"operation_table", operation_table, METH_NOARGS,
     "The operations: name -> (index, number of outputs)."},
    {"cpu_count", cpu_count, METH_NOARGS, "CPUs this process may run on."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot kSlots[] = {
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "greekmill._native",
    "The array engine of the greekmill package (internal).", 0, kMethods, kSlots,
    nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&kModule); }
