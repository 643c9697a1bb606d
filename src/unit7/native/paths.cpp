// paths.cpp: the guards of the native paths: each admits a call, owns the Python objects, makes the
// result through numpy as the numpy path does, and hands raw memory to a kernel of its family
// (ssm/loops, novelty/loops, evaluation/loops), with the interpreter lock released on large inputs.
//
// Every guard follows the rule of guard.hpp in the same order: checks that may run Python code
// (numpy's names, the result's allocation), then the Views the loop reads, acquired after the last
// of them, checked against the allocation, then the loop.
#include "native/paths.hpp"

#include "evaluation/loops.hpp"
#include "frame/ops.hpp"
#include "native/guard.hpp"
#include "novelty/loops.hpp"
#include "ssm/loops.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

namespace unit7::native {

namespace {

struct RawFree {
    void operator()(void* p) const { PyMem_RawFree(p); }
};
using Scratch = std::unique_ptr<double, RawFree>;

Scratch scratch(Py_ssize_t count) {
    const size_t n = static_cast<size_t>(std::max<Py_ssize_t>(1, count));
    return Scratch(static_cast<double*>(PyMem_RawMalloc(sizeof(double) * n)));
}

// An exact Python int (not a bool) in [lo, hi]; converting one runs no Python code.
bool int_in(PyObject* obj, long long lo, long long hi, long long* value) {
    if (!PyLong_CheckExact(obj)) return false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    if (v < lo || v > hi) return false;
    *value = v;
    return true;
}

// np.empty(shape), in Fortran order when asked; null, with the error cleared, when it fails.
Ref new_empty(PyObject* shape, bool fortran) {
    try {
        Ref np = global(N.np);
        Ref empty = attr(np, N.empty);
        if (fortran) return call(empty, {shape}, {Kw{N.order, N.F}});
        return call(empty, {shape});
    } catch (const Raised&) {
        PyErr_Clear();
        return Ref();
    }
}

// np.empty(obj.shape); null, with the error cleared, when it fails.
Ref new_empty_like(PyObject* obj, bool fortran) {
    Ref shape = Ref::steal_or_null(PyObject_GetAttr(obj, N.shape));
    if (!shape) {
        PyErr_Clear();
        return Ref();
    }
    return new_empty(shape, fortran);
}

// A writable view of `out` whose memory runs contiguously along axis `inner` and then the other.
bool acquire_contiguous(View& v, PyObject* out, int inner) {
    if (!v.acquire(out, 2, true)) return false;
    const int outer = 1 - inner;
    return (v.shape(inner) <= 1 || v.stride(inner) == 1) && (v.shape(outer) <= 1 || v.stride(outer) == v.shape(inner));
}

bool same_shape(const View& a, const View& b) { return a.shape(0) == b.shape(0) && a.shape(1) == b.shape(1); }

}  // namespace

// ---- ssm/ -------------------------------------------------------------------------------------

namespace {

// How the result of thresh_and_scale lies: numpy lays it out in the order of the input's strides,
// Fortran order when its columns lie closer together than its rows. Ties, zero strides and empty
// matrices are left to numpy.
enum class Layout { numpy, c_order, fortran };

Layout thresh_layout(const View& x) {
    const Py_ssize_t rows = x.shape(0), cols = x.shape(1);
    const Py_ssize_t s0 = std::abs(x.stride(0)), s1 = std::abs(x.stride(1));
    if (rows == 0 || cols == 0) return Layout::numpy;
    const bool square_ish = rows > 1 && cols > 1;
    if (square_ish && (s0 == s1 || s0 == 0 || s1 == 0)) return Layout::numpy;
    return square_ish && s0 < s1 ? Layout::fortran : Layout::c_order;
}

}  // namespace

bool try_thresh_and_scale(PyObject* m, PyObject* tau, Ref& result) {
    // tau and 1 - tau as the numpy path meets them: floats, or ints that numpy turns into floats
    // exactly.
    double t, span;
    long long ti;
    if (PyFloat_CheckExact(tau)) {
        t = PyFloat_AS_DOUBLE(tau);
        span = 1.0 - t;
    } else if (int_in(tau, -(1ll << 52), 1ll << 52, &ti)) {
        t = static_cast<double>(ti);
        span = static_cast<double>(1 - ti);
    } else {
        return false;
    }
    if (!numpy_untouched({N.empty})) return false;
    Layout layout;
    {
        View probe;
        if (!probe.acquire(m, 2) || (layout = thresh_layout(probe)) == Layout::numpy) return false;
    }
    const bool fortran = layout == Layout::fortran;
    Ref out = new_empty_like(m, fortran);
    View x, o;
    if (!out || !x.acquire(m, 2) || !acquire_contiguous(o, out, fortran ? 0 : 1)) return false;
    // The matrix as it is now must still give the result this shape and this layout.
    if (!same_shape(x, o) || thresh_layout(x) != layout) return false;
    const Py_ssize_t rows = x.shape(0), cols = x.shape(1);
    const Py_ssize_t outer = fortran ? cols : rows, inner = fortran ? rows : cols;
    const Py_ssize_t so = fortran ? x.stride(1) : x.stride(0), si = fortran ? x.stride(0) : x.stride(1);
    FpWatch w;
    run_loop(rows * cols, [&] { loops::thresh_and_scale(x.data(), outer, inner, so, si, t, span, o.data()); });
    if (!w.clean()) return false;
    result = out;
    return true;
}

bool try_make_lag_matrix(PyObject* s, Ref& result) {
    // Entries are only copied, as np.roll copies them: no arithmetic, no flags, every bit kept.
    if (!numpy_untouched({N.empty, N.roll})) return false;
    {
        View probe;
        if (!probe.acquire(s, 2)) return false;
    }
    Ref out = new_empty_like(s, false);
    View x, o;
    if (!out || !x.acquire(s, 2) || !acquire_contiguous(o, out, 1) || !same_shape(x, o)) return false;
    const Py_ssize_t rows = x.shape(0), cols = x.shape(1);
    run_loop(rows * cols, [&] { loops::lag_matrix(x.data(), rows, cols, x.stride(0), x.stride(1), o.data()); });
    result = out;
    return true;
}

namespace {

// The inputs of the native loop: a float64 matrix with at least as many columns as rows and an exact
// int window length. A short window is one no longer than twice the matrix and a bit.
bool smoothing_inputs(PyObject* m, PyObject* win_len, bool short_window, View& x, long long* len) {
    if (!x.acquire(m, 2)) return false;
    const long long n = x.shape(0);
    const long long max_len = short_window ? 2 * n + 64 : PY_SSIZE_T_MAX / 8;
    // Fewer columns than rows: the numpy path raises on the first diagonal.
    return n > 0 && x.shape(1) >= n && int_in(win_len, 1, max_len, len);
}

// The loop, from x into o, which must be x.shape(0) square; false when a flag was raised.
bool smooth_into(const View& x, long long len, const View& o) {
    const Py_ssize_t n = x.shape(0);
    if (o.shape(0) != n || o.shape(1) != n) return false;
    const Py_ssize_t doubles = loops::smoothing_scratch(n, len);
    std::unique_ptr<void, RawFree> buf;
    double* aligned = nullptr;
    if (doubles > 0) {
        buf.reset(PyMem_RawMalloc(static_cast<size_t>(doubles) * sizeof(double) + 64));
        if (!buf) return false;
        aligned = reinterpret_cast<double*>((reinterpret_cast<std::uintptr_t>(buf.get()) + 63) & ~std::uintptr_t{63});
    }
    FpWatch w;
    run_loop(n * n, [&] { loops::diagonal_smoothing(x.data(), x.stride(0), x.stride(1), n, len, aligned, o.data()); });
    return w.clean();
}

}  // namespace

bool try_diagonal_smoothing(PyObject* m, PyObject* win_len, PyObject* n, Ref& result) {
    // With these inputs statements 2 to 4 can raise nothing but MemoryError, so the loop may begin
    // at once, with np.empty for np.zeros since it writes every entry. A longer window is left to
    // the numpy path, whose allocation of it, as large as the caller asked, then comes first.
    if (!numpy_untouched({N.zeros, N.ones, N.sum, N.arange, N.convolve, N.empty})) return false;
    long long len;
    {
        View probe;
        if (!smoothing_inputs(m, win_len, true, probe, &len)) return false;
    }
    Ref out;
    try {
        Ref np = global(N.np);
        Ref empty = attr(np, N.empty);
        Ref side = tuple({n, n});
        out = call(empty, {side});
    } catch (const Raised&) {
        PyErr_Clear();
        return false;
    }
    // `n` was read at statement 1, and Python code may have run since (the lookups, the GC): m is
    // read as it is now, and a result that is not its size sends the call to the numpy path from
    // statement 2, which uses n as read.
    View x, o;
    if (!acquire_contiguous(o, out, 1) || !smoothing_inputs(m, win_len, true, x, &len) || !smooth_into(x, len, o))
        return false;
    result = out;
    return true;
}

bool try_smooth_diagonals(PyObject* m, PyObject* win_len, PyObject* out) {
    if (!numpy_untouched({N.zeros, N.ones, N.sum, N.arange, N.convolve})) return false;
    View x, o;
    long long len;
    return smoothing_inputs(m, win_len, false, x, &len) && acquire_contiguous(o, out, 1) && smooth_into(x, len, o);
}

// ---- novelty/ (column_derivative; diagonal_slide's guard is in novelty.cpp) -------------------

namespace {

// np.zeros(n), as the numpy path creates its result; null when that fails (error cleared).
Ref new_curve(Py_ssize_t n) {
    try {
        Ref np = global(N.np);
        Ref zeros = attr(np, N.zeros);
        Ref len = integer(n);
        return call(zeros, {len});
    } catch (const Raised&) {
        PyErr_Clear();
        return Ref();
    }
}

// A square float64 matrix and a square float64 kernel.
bool admit(PyObject* ssm, PyObject* kernel, View& s, View& k) {
    return s.acquire(ssm, 2) && k.acquire(kernel, 2) && s.shape(1) == s.shape(0) && k.shape(1) == k.shape(0) &&
           k.shape(0) <= loops::kMaxSide;
}

}  // namespace

bool try_diagonal_slide(PyObject* ssm, PyObject* kernel, Ref& result) {
    if (!numpy_untouched({N.zeros, N.sum})) return false;
    const Py_ssize_t piece = sum_piece_length();
    if (piece < 0) return false;
    Py_ssize_t n_len;
    {
        View s, k;
        if (!admit(ssm, kernel, s, k)) return false;
        n_len = s.shape(0);
    }
    Ref out = new_curve(n_len);
    // Python code may have run (the lookup of np, np.zeros) and changed the inputs or the result:
    // all three are taken afresh, and the loop, which reads and writes only through these views,
    // runs only when the result holds a value for every row of the matrix.
    View s, k, o;
    if (!out || !admit(ssm, kernel, s, k) || !o.acquire(out, 1, true) || o.shape(0) != s.shape(0)) return false;
    const Py_ssize_t k_len = k.shape(0);
    const loops::Matrix m{s.data(), s.stride(0), s.stride(1), s.shape(0)};
    const loops::Kernel kv{k.data(), k.stride(0), k.stride(1), k_len};
    const std::size_t bytes = loops::slide_scratch_bytes(m, kv, piece);
    std::unique_ptr<void, RawFree> scratch(bytes ? PyMem_RawMalloc(bytes) : nullptr);
    if (!scratch) return false;
    bool done = false;
    FpWatch w;
    // Without the interpreter lock, another thread may write into the matrix or the kernel: that
    // changes values, never where the loop reads.
    run_loop(std::min<Py_ssize_t>(s.shape(0), kReleaseGilWork) * (k_len * k_len + 1),
             [&] { done = loops::diagonal_slide(m, kv, piece, scratch.get(), o.data(), o.stride(0)); });
    if (!done || !w.clean()) return false;
    result = out;
    return true;
}

namespace {

// The column_derivative inputs the native loop takes, and the kernel length.
bool column_inputs(PyObject* m, PyObject* k_len, View& x, long long* len) {
    if (!numpy_untouched({N.zeros, N.concatenate, N.sum, N.norm}) || !x.acquire(m, 2)) return false;
    // Fewer columns than rows clip the last windows (the numpy path may raise there); a kernel much
    // wider than the matrix is left to numpy, whose padded copy is then the size it always was.
    return x.shape(1) >= x.shape(0) && int_in(k_len, 0, 2 * static_cast<long long>(x.shape(1)) + 16, len);
}

}  // namespace

bool admit_column_derivative(PyObject* m, PyObject* k_len) {
    // The native loop reads m after the kernel is made, the numpy path copies it before: the order
    // can matter only if making the kernel can write into m, so the kernel must come from the
    // module's own make_derivative_kernel and the numpy functions it calls.
    if (!namespace_has_own_function(N.make_derivative_kernel)) return false;
    if (!numpy_untouched({N.linspace, N.ones, N.outer, N.exp, N.sum})) return false;
    View x;
    long long len;
    return column_inputs(m, k_len, x, &len);
}

bool is_module_derivative_kernel(PyObject* f) { return is_own_function(f, N.make_derivative_kernel); }

bool try_column_derivative(PyObject* m, PyObject* k_len, PyObject* kern, PyObject* out) {
    // The kernel has been made, by the module's own function, and numpy's may have been rebound
    // meanwhile (by finalizers, say), so the inputs are checked again, and m is read as it is now.
    // `out` is the array this call made; nothing else can hold it.
    View x, k, o;
    long long len;
    if (!column_inputs(m, k_len, x, &len) || !k.acquire(kern, 2) || !o.acquire(out, 1, true)) return false;
    const Py_ssize_t rows = x.shape(0), cols = x.shape(1);
    if (k.shape(0) != rows || k.shape(1) != len || o.shape(0) != rows || (rows > 1 && o.stride(0) != 1)) return false;
    Scratch q = scratch(len);
    if (!q) return false;
    bool in_range = false;
    FpWatch w;
    run_loop(rows * cols, [&] {
        in_range = loops::column_derivative(x.data(), x.stride(0), x.stride(1), rows, cols, k.data(), k.stride(0),
                                            k.stride(1), len, q.get(), o.data());
    });
    return in_range && w.clean();
}

// ---- evaluation/ ------------------------------------------------------------------------------

namespace {

// A one-dimensional buffer of an exact ndarray holding 8-byte native integers or booleans.
class Items {
public:
    enum Kind { int64, boolean };

    Items() = default;
    ~Items() {
        if (held_) PyBuffer_Release(&buf_);
    }
    Items(const Items&) = delete;
    Items& operator=(const Items&) = delete;

    bool acquire(PyObject* obj, Kind kind, bool writable) {
        if (!is_exact_ndarray(obj)) return false;
        if (PyObject_GetBuffer(obj, &buf_, PyBUF_RECORDS_RO | (writable ? PyBUF_WRITABLE : 0)) < 0) {
            PyErr_Clear();
            return false;
        }
        held_ = true;
        const char* f = buf_.format;
        if (!f || buf_.ndim != 1) return false;
        if (*f == '@' || *f == '=' || (*f == '<' && little_endian())) ++f;
        const bool ok = kind == int64 ? buf_.itemsize == 8 && (std::strcmp(f, "l") == 0 || std::strcmp(f, "q") == 0)
                                      : buf_.itemsize == 1 && std::strcmp(f, "?") == 0;
        const bool aligned = reinterpret_cast<uintptr_t>(buf_.buf) % buf_.itemsize == 0;
        return ok && aligned && buf_.strides[0] % buf_.itemsize == 0;
    }

    template <class T>
    T* data() const {
        return static_cast<T*>(buf_.buf);
    }
    Py_ssize_t size() const { return buf_.shape[0]; }
    Py_ssize_t stride() const { return buf_.strides[0] / buf_.itemsize; }

private:
    static bool little_endian() {
        const uint16_t one = 1;
        unsigned char low;
        std::memcpy(&low, &one, 1);
        return low == 1;
    }

    Py_buffer buf_{};
    bool held_ = false;
};

// An exact Python int (not bool) that fits a long long.
bool exact_int(PyObject* obj, long long& v) {
    if (!PyLong_CheckExact(obj)) return false;
    int overflow = 0;
    v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return overflow == 0;
}

// The result of find_region_peaks from the positions found: np.array([]) for none, as the numpy
// path makes it; otherwise an array of np.arange's dtype, which is the dtype np.array gives the
// numpy integers np.arange yields, made by np.arange and overwritten with the positions.
bool peaks_result(const int64_t* peaks, std::ptrdiff_t count, Ref& result) {
    Ref np = global(N.np);
    if (count == 0) {
        Ref array = attr(np, N.array);
        Ref empty = new_list();
        result = call(array, {empty});
        return true;
    }
    Ref arange = attr(np, N.arange);
    Ref len = integer(count);
    Ref out = call(arange, {len});
    Items items;
    if (!items.acquire(out, Items::int64, true) || items.size() != count) return false;
    int64_t* dst = items.data<int64_t>();
    const Py_ssize_t s = items.stride();
    for (std::ptrdiff_t i = 0; i < count; ++i) dst[i * s] = peaks[i];
    result = std::move(out);
    return true;
}

}  // namespace

bool try_find_region_peaks(PyObject* x, PyObject* region_len, Ref& result) {
    long long r;
    if (!exact_int(region_len, r) || r < 1) return false;
    if (!numpy_untouched({N.pad, N.arange, N.array})) return false;
    View fv;
    Items iv;
    const bool is_float = fv.acquire(x, 1);
    if (!is_float && !iv.acquire(x, Items::int64, false)) return false;
    const std::ptrdiff_t len = is_float ? fv.shape(0) : iv.size();
    const std::ptrdiff_t s = is_float ? fv.stride(0) : iv.stride();
    // Empty signals, and windows so long that the padded copy of the numpy path could fail, stay there.
    if (len < 1 || r > 2 * static_cast<long long>(len) + 2) return false;
    const std::ptrdiff_t region = static_cast<std::ptrdiff_t>(r);
    const bool short_window = loops::short_window(region);

    // Room for a peak at every position: however the samples change while the loop reads them,
    // it never finds more (the pages it does not write are never touched).
    std::unique_ptr<int64_t[]> peaks;
    std::unique_ptr<loops::PeakScratch<double>> fs;
    std::unique_ptr<loops::PeakScratch<int64_t>> is;
    try {
        peaks.reset(new int64_t[len]);
        if (short_window && is_float) fs = std::make_unique<loops::PeakScratch<double>>(len, region);
        if (short_window && !is_float) is = std::make_unique<loops::PeakScratch<int64_t>>(len, region);
    } catch (const std::bad_alloc&) {
        return false;
    }
    std::ptrdiff_t count = 0;
    FpWatch watch;
    run_loop(len, [&] {
        count = is_float ? loops::region_peaks(fv.data(), s, len, region, peaks.get(), len, fs.get())
                         : loops::region_peaks(iv.data<int64_t>(), s, len, region, peaks.get(), len, is.get());
    });
    if (count < 0) return false;
    if (!watch.clean()) return false;
    try {
        return peaks_result(peaks.get(), count, result);
    } catch (const Raised&) {
        PyErr_Clear();
        result = Ref();
        return false;
    }
}

bool try_match_estimates(PyObject* est, PyObject* ref, PyObject* tau, PyObject* est_label, PyObject* ref_label) {
    double t;
    long long ti;
    if (PyFloat_CheckExact(tau)) {
        t = PyFloat_AS_DOUBLE(tau);
        if (std::isnan(t)) return false;
    } else if (exact_int(tau, ti) && ti >= -(1ll << 53) && ti <= (1ll << 53)) {
        t = static_cast<double>(ti);  // exact
    } else {
        return false;
    }
    if (!numpy_untouched({N.zeros, N.logical_and, N.abs, N.nonzero})) return false;
    View ev, rv;
    Items el, rl;
    if (!ev.acquire(est, 1) || !rv.acquire(ref, 1)) return false;
    if (!el.acquire(est_label, Items::boolean, true) || !rl.acquire(ref_label, Items::boolean, true)) return false;
    const std::ptrdiff_t est_len = ev.shape(0), ref_len = rv.shape(0);
    if (el.size() != est_len || rl.size() != ref_len || ref_len >= static_cast<std::ptrdiff_t>(loops::kTaken))
        return false;

    std::unique_ptr<loops::MatchScratch> scratch;
    try {
        scratch = std::make_unique<loops::MatchScratch>(est_len > 0 ? ref_len : 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    bool done = false;
    FpWatch watch;
    run_loop(est_len + ref_len, [&] {
        done = loops::match({ev.data(), ev.stride(0)}, est_len, {rv.data(), rv.stride(0)}, ref_len, t, *scratch,
                            el.data<uint8_t>(), el.stride(), rl.data<uint8_t>(), rl.stride());
    });
    if (done && watch.clean()) return true;
    // The labels go back to all false for the numpy path.
    for (std::ptrdiff_t i = 0; i < est_len; ++i) el.data<uint8_t>()[i * el.stride()] = 0;
    for (std::ptrdiff_t i = 0; i < ref_len; ++i) rl.data<uint8_t>()[i * rl.stride()] = 0;
    return false;
}

}  // namespace unit7::native
