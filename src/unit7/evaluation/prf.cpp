// prf.cpp: matching estimates with references, and precision, recall and F (pos_neg_split, calc_prf).
#include "bodies.hpp"
#include "native/paths.hpp"

namespace unit7::body {

namespace {

// The per-estimate loop of pos_neg_split, statements 3 to 8:
//     for ei, e in enumerate(est):
//         match = np.logical_and(np.abs(e - ref) < tau, ref_label == False)
//         hits = np.nonzero(match)[0]
//         if len(hits) > 0:
//             est_label[ei] = True
//             ref_label[hits[0]] = True
// Each estimate, in input order, takes the free reference of lowest index that lies strictly
// within tau; nothing taken is ever given back. The loop stands on its own so that a native
// loop can take its place behind a guard that admits only the inputs on which the two cannot
// be told apart; this numpy path stays the definition.
void match_estimates(Frame& fr, PyObject* est, PyObject* ref, PyObject* tau, PyObject* est_label,
                     PyObject* ref_label) {
    fr.at(3);
    Ref numbered = enumerate(est);
    Iter it(numbered);
    Ref pair;
    for (;;) {
        fr.at(3);
        if (!it.next(pair)) break;
        auto [ei, e] = unpack<2>(pair);

        fr.at(4);
        Ref np = global(N.np);
        Ref logical_and = attr(np, N.logical_and);
        Ref np_for_abs = global(N.np);
        Ref absolute = attr(np_for_abs, N.abs);
        Ref offset = sub(e, ref);
        Ref distance = call(absolute, {offset});
        Ref close = compare(distance, tau, Py_LT);
        Ref unmatched = compare(ref_label, Py_False, Py_EQ);
        Ref match = call(logical_and, {close, unmatched});

        fr.at(5);
        Ref np_for_nonzero = global(N.np);
        Ref nonzero = attr(np_for_nonzero, N.nonzero);
        Ref where = call(nonzero, {match});
        Ref hits = item(where, S.c.i0);

        fr.at(6);
        if (length(hits) > 0) {
            fr.at(7);
            set_item(est_label, ei, Py_True);

            fr.at(8);
            Ref first = item(hits, S.c.i0);
            set_item(ref_label, first, Py_True);
        }
    }
}

}  // namespace

Ref pos_neg_split(Frame& fr, PyObject* const* args) {
    PyObject *est = args[0], *ref = args[1], *tau = args[2];
    PyObject* bool_type = reinterpret_cast<PyObject*>(&PyBool_Type);

    fr.at(1);  // est_label = np.zeros(len(est), dtype=bool)
    Ref np = global(N.np);
    Ref zeros = attr(np, N.zeros);
    Ref est_len = integer(length(est));
    Ref est_label = call(zeros, {est_len}, {Kw{N.dtype, bool_type}});

    fr.at(2);  // ref_label = np.zeros(len(ref), dtype=bool)
    Ref np_for_ref = global(N.np);
    Ref zeros_for_ref = attr(np_for_ref, N.zeros);
    Ref ref_len = integer(length(ref));
    Ref ref_label = call(zeros_for_ref, {ref_len}, {Kw{N.dtype, bool_type}});

    if (!native::try_match_estimates(est, ref, tau, est_label, ref_label))
        match_estimates(fr, est, ref, tau, est_label, ref_label);  // statements 3 to 8

    fr.at(9);  // return est[est_label], est[est_label == False], ref[ref_label], ref[ref_label == False]
    Ref est_pos = item(est, est_label);
    Ref est_free = compare(est_label, Py_False, Py_EQ);
    Ref est_neg = item(est, est_free);
    Ref ref_pos = item(ref, ref_label);
    Ref ref_free = compare(ref_label, Py_False, Py_EQ);
    Ref ref_neg = item(ref, ref_free);
    return tuple({est_pos, est_neg, ref_pos, ref_neg});
}

Ref calc_prf(Frame& fr, PyObject* const* args) {
    PyObject *est = args[0], *ref = args[1], *tau = args[2];

    fr.at(1);  // est_tp, est_fp, ref_tp, ref_fn = pos_neg_split(est, ref, tau)
    Ref split = global(N.pos_neg_split);
    Ref parts = call(split, {est, ref, tau});
    auto [est_tp, est_fp, ref_tp, ref_fn] = unpack<4>(parts);

    // The counts enter the arithmetic as doubles, as the Python ints would in true division.
    fr.at(2);  // TP = len(est_tp)
    double TP = static_cast<double>(length(est_tp));

    fr.at(3);  // FP = len(est_fp)
    double FP = static_cast<double>(length(est_fp));

    fr.at(4);  // FN = len(ref_fn)
    double FN = static_cast<double>(length(ref_fn));

    fr.at(5);  // if TP == 0:
    if (TP == 0) {
        fr.at(6);  // return 0.0, 0.0, 0.0
        return Ref::borrow(S.c.zeros3);
    }

    fr.at(7);  // P = TP / (TP + FP)
    double P = TP / (TP + FP);

    fr.at(8);  // R = TP / (TP + FN)
    double R = TP / (TP + FN);

    fr.at(9);  // F = 2 * P * R / (P + R)
    double F = ((2 * P) * R) / (P + R);

    fr.at(10);  // return P, R, F
    Ref p = real(P);
    Ref r = real(R);
    Ref f = real(F);
    return tuple({p, r, f});
}

}  // namespace unit7::body
