#include "pending_writes.h"

void PendingWrites::size(uint32_t tool_outputs, uint32_t standard_outputs) {
  const uint32_t counts[kKinds] = {
      kBoolRegisters, kBoolRegisters,  kInt32Registers, kInt32Registers,  1,
      kBoolRegisters, kInt16Registers, tool_outputs,    standard_outputs, 1};
  first_[0] = 0;
  for (int k = 0; k < kKinds; ++k) first_[k + 1] = first_[k] + counts[k];
  slots_.assign(first_[kKinds], Slot{});
  head_ = tail_ = kNone;
  queued_ = 0;
}

uint32_t PendingWrites::slot(Kind kind, uint32_t index) const {
  if (kind >= kKinds || index >= first_[kind + 1] - first_[kind]) return kNone;
  return first_[kind] + index;
}

PendingWrites::Kind PendingWrites::kindOf(uint32_t s, uint32_t* index) const {
  int k = 0;
  while (s >= first_[k + 1]) ++k;
  *index = s - first_[k];
  return static_cast<Kind>(k);
}

void PendingWrites::pushBack(uint32_t s) {
  Slot& n = slots_[s];
  n.prev = tail_;
  n.next = kNone;
  if (tail_ != kNone)
    slots_[tail_].next = s;
  else
    head_ = s;
  tail_ = s;
  n.queued = true;
  ++queued_;
}

void PendingWrites::unlink(uint32_t s) {
  Slot& n = slots_[s];
  if (!n.queued) return;
  if (n.prev != kNone)
    slots_[n.prev].next = n.next;
  else
    head_ = n.next;
  if (n.next != kNone)
    slots_[n.next].prev = n.prev;
  else
    tail_ = n.prev;
  n.prev = n.next = kNone;
  n.queued = false;
  --queued_;
}

void PendingWrites::set(Kind kind, uint32_t index, int32_t value) {
  const uint32_t s = slot(kind, index);
  if (s == kNone || oneShot(kind)) return;
  Slot& n = slots_[s];
  n.wanted = value;
  n.wanted_known = true;
  const bool owed = kind == kSpeed || !n.held_known || n.held != value;
  // A value owed keeps its place when it changes again; one the PLC took
  // back before it went is owed no more.
  if (owed && !n.queued)
    pushBack(s);
  else if (!owed)
    unlink(s);
}

void PendingWrites::resetController(bool output_topic) {
  for (int k = kResetBoolOutput; k <= kResetInt32Output; ++k)
    for (uint32_t s = first_[k]; s < first_[k + 1]; ++s) {
      unlink(s);
      pushBack(s);
    }
  if (output_topic) {
    unlink(first_[kOutputTopic]);
    pushBack(first_[kOutputTopic]);
  }
  // The reset leaves the bool inputs at 0: a PLC 0 is owed no more, a 1 is
  // (it goes after its input's reset).
  for (uint32_t i = 0; i < kBoolRegisters; ++i) {
    const uint32_t s = first_[kBoolInput] + i;
    Slot& n = slots_[s];
    n.held = 0;
    n.held_known = true;
    if (n.wanted_known && n.wanted != 0) {
      if (!n.queued) pushBack(s);
    } else {
      unlink(s);
    }
  }
}

void PendingWrites::forget() {
  for (int k = kBoolInput; k < kSpeed; ++k)
    for (uint32_t s = first_[k]; s < first_[k + 1]; ++s) {
      Slot& n = slots_[s];
      n.held_known = false;
      if (n.wanted_known && !n.queued) pushBack(s);
    }
}

bool PendingWrites::front(Write* w) const {
  for (uint32_t s = head_; s != kNone; s = slots_[s].next) {
    uint32_t index = 0;
    const Kind kind = kindOf(s, &index);
    if (slots_[s].tried == cycle_) continue;
    // A bool input's reset goes before any PLC value for it.
    if (kind == kBoolInput && slots_[first_[kResetBoolInput] + index].queued) continue;
    w->kind = kind;
    w->index = index;
    w->value = oneShot(kind) ? 0 : slots_[s].wanted;
    return true;
  }
  return false;
}

void PendingWrites::done(const Write& w, Outcome outcome) {
  const uint32_t s = slot(w.kind, w.index);
  if (s == kNone || !slots_[s].queued) return;
  Slot& n = slots_[s];
  if (outcome == kTaken || (oneShot(w.kind) && outcome == kRefused)) {
    if (!oneShot(w.kind)) {
      n.held = w.value;
      n.held_known = true;
      if (w.kind != kSpeed && n.wanted != w.value) return;  // changed since: owed still
    }
    unlink(s);
    return;
  }
  // Not taken: owed still, after everything else that is owed, and not
  // tried again in this cycle.
  n.tried = cycle_;
  unlink(s);
  pushBack(s);
}
