// peaks.cpp: region peak picking (find_region_peaks).
#include "bodies.hpp"
#include "native/paths.hpp"

namespace unit7::body {

namespace {

// The per-position loop of find_region_peaks, statements 5 to 10:
//     for n in np.arange(x_len):
//         win = x[n:n + region_len]
//         is_bigger = win < x[n + hw]
//         is_bigger[hw] = True
//         if is_bigger.all():
//             peaks.append(n)
// `x` is the edge-padded signal, so extended index n + hw holds input sample n and its window
// starts at extended index n. The loop stands on its own so that a native loop can take its
// place behind a guard that admits only the inputs on which the two cannot be told apart; this
// numpy path stays the definition.
void scan_windows(Frame& fr, PyObject* x, PyObject* region_len, PyObject* hw, PyObject* x_len,
                  PyObject* peaks) {
    fr.at(5);
    Ref np = global(N.np);
    Ref arange = attr(np, N.arange);
    Ref positions = call(arange, {x_len});
    Iter it(positions);
    Ref n;
    for (;;) {
        fr.at(5);
        if (!it.next(n)) break;

        fr.at(6);
        Ref win_stop = add(n, region_len);
        Ref win = get_slice(x, n, win_stop);

        fr.at(7);
        Ref centre_index = add(n, hw);
        Ref centre = item(x, centre_index);
        Ref is_bigger = compare(win, centre, Py_LT);

        fr.at(8);
        set_item(is_bigger, hw, Py_True);

        fr.at(9);
        Ref all = attr(is_bigger, N.all);
        Ref every = call(all, {});
        if (truth(every)) {
            fr.at(10);
            append(peaks, n);
        }
    }
}

}  // namespace

Ref find_region_peaks(Frame& fr, PyObject* const* args) {
    PyObject *x_arg = args[0], *region_len = args[1];
    if (Ref r; native::try_find_region_peaks(x_arg, region_len, r)) return r;

    fr.at(1);  // peaks = []
    Ref peaks = new_list();

    fr.at(2);  // hw = region_len // 2
    Ref hw = floordiv(region_len, S.c.i2);

    fr.at(3);  // x_len = len(x)
    Ref x_len = integer(length(x_arg));

    fr.at(4);  // x = np.pad(x, hw, mode='edge')
    Ref np = global(N.np);
    Ref pad = attr(np, N.pad);
    Ref x = call(pad, {x_arg, hw}, {Kw{N.mode, N.edge}});

    scan_windows(fr, x, region_len, hw, x_len, peaks);  // statements 5 to 10

    fr.at(11);  // return np.array(peaks)
    Ref np_for_array = global(N.np);
    Ref array = attr(np_for_array, N.array);
    return call(array, {peaks});
}

}  // namespace unit7::body
