// Snapshots of the plot's curves and control points, and the steps between them.
#include "history/tracker.hpp"

#include <cstring>
#include <map>

namespace cep::history {
namespace {

// A numeric one-dimensional buffer; object arrays are refused, since their elements
// are references that raw copies would not own.
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    Buffer(Buffer &&o) noexcept : view_(o.view_), held_(o.held_) { o.held_ = false; }
    ~Buffer() {
        if (held_) PyBuffer_Release(&view_);
    }

    bool open(nb::handle obj, bool writable) {
        int flags = PyBUF_RECORDS_RO;
        if (writable) flags |= PyBUF_WRITABLE;
        if (!obj.is_valid() || !PyObject_CheckBuffer(obj.ptr()) || PyObject_GetBuffer(obj.ptr(), &view_, flags) < 0) {
            PyErr_Clear();
            return false;
        }
        held_ = true;
        if (view_.ndim != 1 || view_.itemsize <= 0 || (view_.format && std::strchr(view_.format, 'O'))) {
            PyBuffer_Release(&view_);
            held_ = false;
            return false;
        }
        return true;
    }
    Strided strided() const {
        return Strided{static_cast<char *>(view_.buf), view_.strides[0], view_.shape[0],
                       static_cast<size_t>(view_.itemsize)};
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace

Entry::~Entry() {
    for (PyObject *r : refs) Py_DECREF(r);
}

nb::object Entry::curve(size_t i) const {
    PyObject *r = refs[i];
    if (!PyWeakref_CheckRef(r)) return nb::borrow(r);
    nb::object obj = nb::handle(r)();
    return obj.ptr() == ids[i] ? obj : nb::object();
}

bool Entry::pinned() const {
    for (PyObject *r : refs)
        if (!PyWeakref_CheckRef(r)) return true;
    return false;
}

bool Entry::alive() const {
    for (size_t i = 0; i < refs.size(); ++i)
        if (!curve(i).is_valid()) return false;
    return true;
}

Tracker::Tracker(nb::handle plot, size_t depth) : plot_ref_(nb::weakref(plot)), depth_(depth) {}

Tracker::~Tracker() { sets_.clear(); }

nb::object Tracker::plot() const {
    nb::object plot = plot_ref_();
    return plot.is_none() ? nb::object() : plot;
}

bool Tracker::in_gesture(nb::handle plot) {
    return truthy(nb::getattr(plot, "mouse_pressed")) || nb::len(nb::getattr(plot, "mouse_path")) > 0;
}

bool Tracker::same_curves(nb::handle curves) const {
    if (!current_) return true;  // still the list the plot had when nothing was usable
    if (!PyList_Check(curves.ptr())) {
        if (nb::len(curves) != current_->ids.size()) return false;
        for (size_t i = 0; i < current_->ids.size(); ++i)
            if (item(curves, static_cast<Py_ssize_t>(i)).ptr() != current_->ids[i]) return false;
        return true;
    }
    if (PyList_GET_SIZE(curves.ptr()) != static_cast<Py_ssize_t>(current_->ids.size())) return false;
    for (size_t i = 0; i < current_->ids.size(); ++i)
        if (PyList_GET_ITEM(curves.ptr(), i) != current_->ids[i]) return false;
    return true;
}

bool Tracker::forget_dead() {
    bool dropped_current = false;
    for (auto it = sets_.begin(); it != sets_.end();) {
        if ((*it)->alive()) {
            ++it;
            continue;
        }
        if (it->get() == current_) {
            current_ = nullptr;
            dropped_current = true;
        }
        it = sets_.erase(it);
    }
    return dropped_current;
}

int Tracker::dtype_index(nb::handle dtype) {
    for (size_t i = 0; i < dtypes_.size(); ++i)
        if (dtypes_[i].ptr() == dtype.ptr()) return static_cast<int>(i);
    for (size_t i = 0; i < dtypes_.size(); ++i)
        if (dtypes_[i].equal(dtype)) return static_cast<int>(i);
    dtypes_.push_back(nb::borrow(dtype));
    return static_cast<int>(dtypes_.size() - 1);
}

void Tracker::snapshot_values(Entry &e) const {
    e.state.values.clear();
    e.state.values.resize(e.ids.size());
    for (size_t i = 0; i < e.ids.size(); ++i) {
        CurveBase &base = e.state.values[i];
        Buffer buf;
        if (!buf.open(e.curve(i), false)) continue;
        Strided live = buf.strided();
        base.tracked = true;
        base.len = live.len;
        base.itemsize = live.itemsize;
        base.bytes.resize(live.len * live.itemsize);
        copy_out(live, 0, live.len, base.bytes.data());
    }
}

CtrlState Tracker::snapshot_ctrl(nb::handle plot) {
    CtrlState state;
    nb::object entries = nb::getattr(plot, "ctrl_points");
    if (entries.is_none()) return state;
    nb::object asarray = module_global("np").attr("asarray");
    for (nb::handle entry : entries) {
        auto [xs, ys] = unpack2(entry);
        for (nb::handle part : {nb::handle(xs), nb::handle(ys)}) {
            nb::object arr = asarray(part);
            Buffer buf;
            if (!buf.open(arr, false))
                raise(PyExc_TypeError, "control points must be one-dimensional numeric arrays");
            Strided live = buf.strided();
            Comp c;
            c.dtype = dtype_index(arr.attr("dtype"));
            c.itemsize = static_cast<uint32_t>(live.itemsize);
            c.bytes.resize(live.len * live.itemsize);
            copy_out(live, 0, live.len, c.bytes.data());
            state.push_back(std::move(c));
        }
    }
    return state;
}

nb::object Tracker::build_ctrl(const CtrlState &state) const {
    nb::object empty = module_global("np").attr("empty");
    nb::list out;
    for (size_t i = 0; i + 1 < state.size(); i += 2) {
        nb::list pair;
        for (size_t k = i; k < i + 2; ++k) {
            const Comp &c = state[k];
            nb::object arr = empty(c.len(), "dtype"_a = dtypes_.at(static_cast<size_t>(c.dtype)));
            Buffer buf;
            if (!buf.open(arr, true)) raise(PyExc_TypeError, "cannot rebuild a control-point array");
            copy_in(buf.strided(), 0, c.len(), c.bytes.data());
            pair.append(arr);
        }
        out.append(pair);
    }
    return out;
}

Entry *Tracker::find_or_add(nb::handle curves, nb::handle plot) {
    std::vector<nb::object> items;
    for (nb::handle c : curves) items.push_back(nb::borrow(c));
    for (auto &e : sets_) {
        if (e->ids.size() != items.size()) continue;
        bool same = true;
        for (size_t i = 0; same && i < items.size(); ++i) same = e->ids[i] == items[i].ptr();
        if (same && e->alive()) {
            // Shown again: set_curve has made its control points anew.
            e->state.cp_base = snapshot_ctrl(plot);
            return e.get();
        }
    }
    auto e = std::make_unique<Entry>();
    for (nb::object &c : items) {
        PyObject *ref = PyWeakref_NewRef(c.ptr(), nullptr);
        if (!ref) {
            PyErr_Clear();
            ref = Py_NewRef(c.ptr());
        }
        e->ids.push_back(c.ptr());
        e->refs.push_back(ref);
    }
    snapshot_values(*e);
    e->state.cp_base = snapshot_ctrl(plot);
    e->state.cp_cursor = e->state.cp_base;
    sets_.push_back(std::move(e));
    return sets_.back().get();
}

bool Tracker::sync(nb::handle plot) {
    nb::object curves = nb::getattr(plot, "gCurves");
    if (curves.is(seen_curves_) && same_curves(curves)) {
        // Outside a gesture a new control-point list is the host's (set_curve again):
        // the next step starts from it.
        if (current_ && !touched) {
            nb::object ctrl = nb::getattr(plot, "ctrl_points");
            if (!ctrl.is(seen_ctrl_)) {
                current_->state.cp_base = snapshot_ctrl(plot);
                seen_ctrl_ = ctrl;
            }
        }
        return false;
    }
    if (touched) return false;  // the gesture's end records on the set it began on
    Entry *before = current_;
    seen_curves_ = curves;  // first: the list given up may hold the last refs to its arrays
    seen_ctrl_ = nb::getattr(plot, "ctrl_points");
    bool dropped = forget_dead();
    current_ = (curves.is_none() || !PySequence_Check(curves.ptr())) ? nullptr : find_or_add(curves, plot);
    // A set held strongly (curves without weak references) would never be forgotten:
    // it is kept only while shown.
    for (auto it = sets_.begin(); it != sets_.end();)
        it = (it->get() != current_ && (*it)->pinned()) ? sets_.erase(it) : it + 1;
    return dropped || current_ != before;
}

bool Tracker::record(nb::handle plot) {
    if (!current_) return false;
    Entry &e = *current_;
    Step step;
    std::vector<std::pair<Buffer, size_t>> live;  // open curves with their first run
    size_t total = 0;
    for (size_t i = 0; i < e.ids.size(); ++i) {
        CurveBase &base = e.state.values[i];
        if (!base.tracked) continue;
        Buffer buf;
        if (!buf.open(e.curve(i), false)) continue;
        Strided view = buf.strided();
        if (view.len != base.len || view.itemsize != base.itemsize) {
            // Resized behind our back: start this curve afresh.
            base.len = view.len;
            base.itemsize = view.itemsize;
            base.bytes.resize(view.len * view.itemsize);
            copy_out(view, 0, view.len, base.bytes.data());
            continue;
        }
        size_t first = step.runs.size();
        diff_runs(base.bytes.data(), view, static_cast<uint32_t>(i), step.runs);
        for (size_t r = first; r < step.runs.size(); ++r) total += step.runs[r].count * view.itemsize;
        if (step.runs.size() > first) live.emplace_back(std::move(buf), first);
    }
    CtrlState now = snapshot_ctrl(plot);
    seen_ctrl_ = nb::getattr(plot, "ctrl_points");
    if (step.runs.empty()) {
        e.state.cp_base = std::move(now);
        return false;
    }
    step.runs.shrink_to_fit();
    step.before.resize(total);
    step.after.resize(total);
    size_t off = 0;
    for (size_t k = 0; k < live.size(); ++k) {
        Strided view = live[k].first.strided();
        size_t end = k + 1 < live.size() ? live[k + 1].second : step.runs.size();
        for (size_t r = live[k].second; r < end; ++r) {
            const Run &run = step.runs[r];
            CurveBase &base = e.state.values[run.curve];
            const size_t n = run.count * view.itemsize;
            std::memcpy(&step.before[off], &base.bytes[run.start * view.itemsize], n);
            copy_out(view, run.start, run.count, &step.after[off]);
            std::memcpy(&base.bytes[run.start * view.itemsize], &step.after[off], n);
            off += n;
        }
    }
    step.gap = ctrl_diff(e.state.cp_cursor, e.state.cp_base);
    step.edit = ctrl_diff(e.state.cp_base, now);
    e.state.cp_base = now;
    e.state.cp_cursor = std::move(now);
    e.state.ring.push(std::move(step), depth_);
    return true;
}

std::vector<Touched> Tracker::move(nb::handle plot, bool forward) {
    Entry &e = *current_;
    Ring &ring = e.state.ring;
    const Step &s = ring.steps[forward ? ring.cursor : ring.cursor - 1];

    // Everything that can fail is checked before anything is written.
    std::map<uint32_t, Buffer> out;
    for (const Run &run : s.runs) {
        if (out.count(run.curve)) continue;
        Buffer buf;
        if (!buf.open(e.curve(run.curve), true))
            raise_format(PyExc_ValueError, "curve %u can no longer be written (read-only or not a 1-D array)",
                         run.curve);
        const CurveBase &base = e.state.values[run.curve];
        if (buf.strided().len != base.len || buf.strided().itemsize != base.itemsize)
            raise_format(PyExc_ValueError, "curve %u changed its length since the step; call clear()", run.curve);
        out.emplace(run.curve, std::move(buf));
    }
    CtrlState shown = e.state.cp_cursor, cursor;
    if (forward) {
        ctrl_apply(shown, s.gap, true);
        ctrl_apply(shown, s.edit, true);
        cursor = shown;
    } else {
        ctrl_apply(shown, s.edit, false);
        cursor = shown;
        ctrl_apply(cursor, s.gap, false);
    }
    nb::object ctrl = build_ctrl(shown);

    std::vector<Touched> touched_cols;
    const Bytes &values = forward ? s.after : s.before;
    size_t off = 0;
    for (const Run &run : s.runs) {
        Strided view = out.at(run.curve).strided();
        CurveBase &base = e.state.values[run.curve];
        const size_t n = run.count * view.itemsize;
        copy_in(view, run.start, run.count, &values[off]);
        std::memcpy(&base.bytes[run.start * view.itemsize], &values[off], n);
        off += n;
        if (!touched_cols.empty() && touched_cols.back().curve == run.curve) {
            touched_cols.back().stop = run.start + run.count;
        } else {
            touched_cols.push_back(Touched{run.curve, run.start, run.start + run.count});
        }
    }
    e.state.cp_base = std::move(shown);
    e.state.cp_cursor = std::move(cursor);
    ring.cursor = forward ? ring.cursor + 1 : ring.cursor - 1;
    nb::setattr(plot, "ctrl_points", ctrl);
    seen_ctrl_ = ctrl;
    return touched_cols;
}

std::vector<Touched> Tracker::undo(nb::handle plot) {
    if (!can_undo()) return {};
    return move(plot, false);
}

std::vector<Touched> Tracker::redo(nb::handle plot) {
    if (!can_redo()) return {};
    return move(plot, true);
}

void Tracker::rebase(nb::handle curve) {
    for (auto &e : sets_)
        for (size_t i = 0; i < e->ids.size() && i < e->state.values.size(); ++i) {
            CurveBase &base = e->state.values[i];
            nb::object live = e->curve(i);
            Buffer buf;
            if (!base.tracked || !live.is_valid() || !live.is(curve) || !buf.open(live, false)) continue;
            Strided view = buf.strided();
            base.len = view.len;
            base.itemsize = view.itemsize;
            base.bytes.resize(view.len * view.itemsize);
            copy_out(view, 0, view.len, base.bytes.data());
        }
}

void Tracker::clear(nb::handle plot) {
    sets_.clear();
    current_ = nullptr;
    seen_curves_ = nb::object();
    seen_ctrl_ = nb::object();
    touched = false;
    if (plot.is_valid()) sync(plot);
}

size_t Tracker::bytes() const {
    size_t n = sizeof(Tracker);
    for (const auto &e : sets_) n += sizeof(Entry) + e->state.bytes() + 2 * e->ids.capacity() * sizeof(PyObject *);
    return n;
}

}  // namespace cep::history
