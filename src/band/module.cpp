// module.cpp: velmor._band, the Python face of the banded road's kernels (band/loops.hpp): buffers
// in, checked against each other, the loop run with the GIL released, results written into arrays
// the caller allocated. The numpy-facing checks and defaults live in velmor.analysis.banded.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "loops.hpp"

#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

namespace {

using unit7::loops::ix;

// One float64 buffer in C order, aligned for double (the loops load doubles, and vectors of them,
// through plain pointers), released on every path.
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    // 0, or -1 with an exception naming `what`.
    int acquire(PyObject* obj, const char* what, int ndim, bool writable) {
        const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(obj, &view_, flags) < 0) {
            PyErr_Format(PyExc_TypeError, "%s must be a C-contiguous%s float64 array", what,
                         writable ? " writable" : "");
            return -1;
        }
        held_ = true;
        const char* f = view_.format ? view_.format : "B";
        if (*f == '=' || *f == '<' || *f == '@') ++f;
        if (view_.itemsize != 8 || std::strcmp(f, "d") != 0 || view_.ndim != ndim) {
            PyErr_Format(PyExc_TypeError, "%s must be a %d-dimensional float64 array", what, ndim);
            return -1;
        }
        if (reinterpret_cast<std::uintptr_t>(view_.buf) % alignof(double) != 0) {
            PyErr_Format(PyExc_TypeError, "%s must be an aligned float64 array (numpy.require(x, requirements='CA'))",
                         what);
            return -1;
        }
        return 0;
    }
    ix dim(int i) const { return view_.shape[i]; }
    double* data() const { return static_cast<double*>(view_.buf); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// Up to `most` items of a sequence, as a new tuple of our own: the caller's list may change while
// its items are converted (a __float__ or __index__ that empties it), ours cannot.
PyObject* own_items(PyObject* seq, const char* what, Py_ssize_t most) {
    if (!PySequence_Check(seq)) {
        PyErr_Format(PyExc_TypeError, "%s must be a sequence", what);
        return nullptr;
    }
    const Py_ssize_t len = PySequence_Size(seq);
    if (len < 0) return nullptr;
    if (len > most) {
        PyErr_Format(PyExc_ValueError, "%s must hold at most %zd items, got %zd", what, most, len);
        return nullptr;
    }
    PyObject* items = PyTuple_New(len);
    if (!items) return nullptr;
    for (Py_ssize_t i = 0; i < len; ++i) {
        PyObject* item = PySequence_GetItem(seq, i);  // may run Python code; the tuple is still ours
        if (!item) {
            Py_DECREF(items);
            return nullptr;
        }
        PyTuple_SET_ITEM(items, i, item);
    }
    return items;
}

constexpr Py_ssize_t kMaxFeatures = 64;

// The features (a sequence of d_f x n arrays) and their weights, into bufs, feats and w. Every
// conversion that may run Python code (items, __float__) comes first, on tuples of our own; the
// buffers come last and stay held, so the shapes and pointers read from them hold for the call.
int read_features(PyObject* features, PyObject* weights, std::vector<Buffer>& bufs,
                  std::vector<unit7::loops::BandFeature>& feats, std::vector<double>& w, ix& n) {
    PyObject* arrays = own_items(features, "features", kMaxFeatures);
    if (!arrays) return -1;
    PyObject* numbers = own_items(weights, "weights", kMaxFeatures);
    if (!numbers) {
        Py_DECREF(arrays);
        return -1;
    }
    const Py_ssize_t count = PyTuple_GET_SIZE(arrays);
    int status = -1;
    if (count < 1) {
        PyErr_SetString(PyExc_ValueError, "features must hold 1 to 64 arrays");
    } else if (PyTuple_GET_SIZE(numbers) != count) {
        PyErr_SetString(PyExc_ValueError, "weights must give one number per feature");
    } else {
        status = 0;
        for (Py_ssize_t f = 0; f < count && status == 0; ++f) {
            const double v = PyFloat_AsDouble(PyTuple_GET_ITEM(numbers, f));
            if (v == -1.0 && PyErr_Occurred()) status = -1;
            w.push_back(v);
        }
        bufs = std::vector<Buffer>(static_cast<std::size_t>(count));
        for (Py_ssize_t f = 0; f < count && status == 0; ++f) {
            Buffer& b = bufs[static_cast<std::size_t>(f)];
            if (b.acquire(PyTuple_GET_ITEM(arrays, f), "each feature", 2, false) < 0) {
                status = -1;
            } else if (f > 0 && b.dim(1) != n) {
                PyErr_SetString(PyExc_ValueError, "features must all have the same number of frames");
                status = -1;
            } else {
                n = b.dim(1);
                feats.push_back({b.data(), b.dim(0)});
            }
        }
    }
    Py_DECREF(numbers);
    Py_DECREF(arrays);  // the buffers hold their exporters
    return status;
}

// band(features, weights, out, first=0): out[r, hw + o] = S[first + r, first + r + o], out of shape
// (rows, 2 hw + 1), rows first .. first + rows - 1 of the matrix.
PyObject* band_band(PyObject*, PyObject* args) {
    PyObject *features, *weights, *out_obj;
    Py_ssize_t first = 0;
    if (!PyArg_ParseTuple(args, "OOO|n:band", &features, &weights, &out_obj, &first)) return nullptr;
    std::vector<Buffer> bufs;
    std::vector<unit7::loops::BandFeature> feats;
    std::vector<double> w;
    ix n = 0;
    if (read_features(features, weights, bufs, feats, w, n) < 0) return nullptr;
    Buffer out;
    if (out.acquire(out_obj, "out", 2, true) < 0) return nullptr;
    if (first < 0 || first > n || out.dim(0) > n - first || out.dim(1) < 1 || out.dim(1) % 2 != 1) {
        PyErr_SetString(PyExc_ValueError, "out must have shape (rows, 2 * hw + 1) with rows first .. first + rows - 1 "
                                          "of the matrix");
        return nullptr;
    }
    const unit7::loops::BandSource src{feats.data(), w.data(), static_cast<int>(feats.size()), nullptr, 0, n};
    bool failed = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        unit7::loops::band_rows(src, out.dim(1) / 2, first, first + out.dim(0), out.data());
    } catch (const std::bad_alloc&) {
        failed = true;
    }
    Py_END_ALLOW_THREADS
    if (failed) return PyErr_NoMemory();
    Py_RETURN_NONE;
}

// The common end of both novelty calls.
PyObject* run_novelty(const unit7::loops::BandSource& src, PyObject* kernel_obj, ix smooth, ix piece,
                      PyObject* out_obj) {
    Buffer kernel, out;
    if (kernel.acquire(kernel_obj, "kernel", 2, false) < 0 || out.acquire(out_obj, "out", 1, true) < 0)
        return nullptr;
    const ix k_len = kernel.dim(0);
    if (kernel.dim(1) != k_len || k_len < 2 || k_len % 2 != 0) {
        PyErr_SetString(PyExc_ValueError, "kernel must be square with an even side of at least 2");
        return nullptr;
    }
    if (out.dim(0) != src.n) {
        PyErr_SetString(PyExc_ValueError, "out must hold one value per frame");
        return nullptr;
    }
    if (smooth < 1 || piece < 0) {
        PyErr_SetString(PyExc_ValueError, "smooth must be at least 1 and piece at least 0");
        return nullptr;
    }
    if (!src.features && src.given_hw < k_len - 1) {
        PyErr_SetString(PyExc_ValueError, "the band is narrower than the kernel");
        return nullptr;
    }
    bool done = false, failed = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        done = unit7::loops::band_novelty(src, kernel.data(), k_len, smooth, piece, out.data());
    } catch (const std::bad_alloc&) {
        failed = true;
    }
    Py_END_ALLOW_THREADS
    if (failed) return PyErr_NoMemory();
    if (!done) {
        PyErr_SetString(PyExc_ValueError, "the kernel must be finite and at most 8192 frames wide");
        return nullptr;
    }
    Py_RETURN_NONE;
}

// novelty(features, weights, kernel, smooth, piece, out)
PyObject* band_novelty(PyObject*, PyObject* args) {
    PyObject *features, *weights, *kernel, *out;
    Py_ssize_t smooth, piece;
    if (!PyArg_ParseTuple(args, "OOOnnO:novelty", &features, &weights, &kernel, &smooth, &piece, &out))
        return nullptr;
    std::vector<Buffer> bufs;
    std::vector<unit7::loops::BandFeature> feats;
    std::vector<double> w;
    ix n = 0;
    if (read_features(features, weights, bufs, feats, w, n) < 0) return nullptr;
    const unit7::loops::BandSource src{feats.data(), w.data(), static_cast<int>(feats.size()), nullptr, 0, n};
    return run_novelty(src, kernel, smooth, piece, out);
}

// novelty_of_band(band, kernel, smooth, piece, out): the band of shape (n, 2 hw + 1) given.
PyObject* band_novelty_of_band(PyObject*, PyObject* args) {
    PyObject *band_obj, *kernel, *out;
    Py_ssize_t smooth, piece;
    if (!PyArg_ParseTuple(args, "OOnnO:novelty_of_band", &band_obj, &kernel, &smooth, &piece, &out)) return nullptr;
    Buffer band;
    if (band.acquire(band_obj, "band", 2, false) < 0) return nullptr;
    if (band.dim(1) < 1 || band.dim(1) % 2 != 1) {
        PyErr_SetString(PyExc_ValueError, "band must have shape (n, 2 * hw + 1)");
        return nullptr;
    }
    const unit7::loops::BandSource src{nullptr, nullptr, 0, band.data(), band.dim(1) / 2, band.dim(0)};
    return run_novelty(src, kernel, smooth, piece, out);
}

PyMethodDef band_methods[] = {
    {"band", band_band, METH_VARARGS,
     "band(features, weights, out, first=0): rows of the self-similarity band into out."},
    {"novelty", band_novelty, METH_VARARGS,
     "novelty(features, weights, kernel, smooth, piece, out): mirrored checkerboard novelty into out."},
    {"novelty_of_band", band_novelty_of_band, METH_VARARGS,
     "novelty_of_band(band, kernel, smooth, piece, out): the same from a given band."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot band_slots[] = {
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef band_module = {
    PyModuleDef_HEAD_INIT, "velmor._band", "Kernels of the banded road (see velmor.analysis.banded).", 0,
    band_methods, band_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__band(void) { return PyModuleDef_Init(&band_module); }
