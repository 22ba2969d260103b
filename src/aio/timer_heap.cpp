// TimerHeap: push, pop what is due, and compaction of cancelled handles.
#include "aio/timer_heap.hpp"

#include "binding/errors.hpp"
#include "binding/handle_layout.hpp"
#include "binding/host_calls.hpp"

#include <algorithm>

namespace cadrel::aio {

namespace {
const binding::InternedName kCancelled{"_cancelled"};
}

bool handle_cancelled(PyObject* handle, const binding::HandleLayout* layout) {
    if (layout) {
        if (int cancelled = layout->cancelled(handle); cancelled >= 0) return cancelled != 0;
    }
    binding::HostRef flag = binding::get_attr(handle, kCancelled);
    return flag.get() == Py_True;
}

bool handle_cancelled(PyObject* handle) {
    return handle_cancelled(handle, binding::HandleLayout::of(reinterpret_cast<PyObject*>(Py_TYPE(handle))));
}

void TimerHeap::push(double when, binding::HostRef handle) {
    entries_.push_back(Entry{when, next_sequence_++, std::move(handle)});
    std::push_heap(entries_.begin(), entries_.end(), later);
}

std::optional<double> TimerHeap::next_when() const {
    if (entries_.empty()) return std::nullopt;
    return entries_.front().when;
}

binding::HostRef TimerHeap::pop_due(double limit) {
    if (entries_.empty() || entries_.front().when > limit) return {};
    std::pop_heap(entries_.begin(), entries_.end(), later);
    binding::HostRef handle = std::move(entries_.back().handle);
    entries_.pop_back();
    return handle;
}

void TimerHeap::note_cancelled() {
    ++cancelled_;
    if (entries_.size() >= kMinCompactSize && cancelled_ * 2 > entries_.size()) compact();
}

void TimerHeap::compact() {
    // Read every flag first: a host error then leaves the heap as it was.
    std::vector<char> keep(entries_.size());
    for (std::size_t i = 0; i < entries_.size(); ++i) keep[i] = !handle_cancelled(entries_[i].handle.get());
    std::vector<Entry> live;
    live.reserve(entries_.size() - std::min(cancelled_, entries_.size()));
    for (std::size_t i = 0; i < entries_.size(); ++i)
        if (keep[i]) live.push_back(std::move(entries_[i]));
    std::make_heap(live.begin(), live.end(), later);
    // The cancelled handles' references go with the old vector, here, attached.
    std::vector<Entry> dropped = std::exchange(entries_, std::move(live));
    cancelled_ = 0;
}

std::vector<binding::HostRef> TimerHeap::take_all() noexcept {
    std::vector<binding::HostRef> handles;
    handles.reserve(entries_.size());
    for (Entry& entry : entries_) handles.push_back(std::move(entry.handle));
    entries_.clear();
    entries_.shrink_to_fit();
    cancelled_ = 0;
    return handles;
}

int TimerHeap::traverse(visitproc visit, void* arg) const {
    for (const Entry& entry : entries_) Py_VISIT(entry.handle.get());
    return 0;
}

}  // namespace cadrel::aio
