// What one CurveEditHistory knows of its plot: the sets of curves it has seen, their
// snapshots and steps, and the moves between the plot's arrays and those steps.
#pragma once

#include "binding/py.hpp"
#include "history/steps.hpp"

#include <memory>
#include <vector>

namespace cep::history {

// The curves of one `gCurves`, by identity: arrays are held weakly so that a frame the
// host drops takes its steps with it.
struct Entry {
    std::vector<PyObject *> ids;    // addresses, compared only while the refs confirm them
    std::vector<PyObject *> refs;   // weak references, or strong ones to objects without
    SetState state;

    Entry() = default;
    Entry(const Entry &) = delete;
    Entry &operator=(const Entry &) = delete;
    ~Entry();

    bool alive() const;
    bool pinned() const;                // holds some curve strongly
    nb::object curve(size_t i) const;   // the live curve i, or an invalid object
};

// The changed columns of one curve by a step, for the signals: [start, stop).
struct Touched {
    uint32_t curve;
    int64_t start, stop;
};

class Tracker {
public:
    Tracker(nb::handle plot, size_t depth);
    ~Tracker();
    Tracker(const Tracker &) = delete;
    Tracker &operator=(const Tracker &) = delete;

    // The plot, or an invalid object once it is collected or its Qt object deleted.
    nb::object plot() const;
    static bool in_gesture(nb::handle plot);

    // Follows the plot to the set of curves it shows now; true when that set changed.
    bool sync(nb::handle plot);
    // Turns what changed since the last step into a step; true when one was recorded.
    bool record(nb::handle plot);
    // Moves one step back or forward; the columns it rewrote, empty when there was none.
    std::vector<Touched> undo(nb::handle plot);
    std::vector<Touched> redo(nb::handle plot);
    void clear(nb::handle plot);
    // `curve` was written from outside: its values now are where its next step starts.
    void rebase(nb::handle curve);

    bool can_undo() const { return current_ && current_->state.ring.can_undo(); }
    bool can_redo() const { return current_ && current_->state.ring.can_redo(); }
    size_t bytes() const;

    // A gesture has announced changes that its end has not recorded yet.
    bool touched = false;
    // Undo or redo is telling the host: the plot's signals are ours, not edits.
    bool busy = false;

private:
    Entry *find_or_add(nb::handle curves, nb::handle plot);
    void snapshot_values(Entry &e) const;
    CtrlState snapshot_ctrl(nb::handle plot);
    nb::object build_ctrl(const CtrlState &state) const;
    int dtype_index(nb::handle dtype);
    std::vector<Touched> move(nb::handle plot, bool forward);
    bool same_curves(nb::handle curves) const;
    bool forget_dead();   // true when the current set was among the dead

    nb::object plot_ref_;   // weak: the history must not keep a dropped plot alive
    size_t depth_;
    std::vector<std::unique_ptr<Entry>> sets_;
    Entry *current_ = nullptr;
    nb::object seen_curves_, seen_ctrl_;   // the plot's lists at the last sync
    std::vector<nb::object> dtypes_;
};

}  // namespace cep::history
