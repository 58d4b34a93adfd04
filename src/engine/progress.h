#pragma once

#include <string>

namespace stelp {

// How long operations report themselves. The window implements it; the
// default does nothing, so the engine runs the same without one.
class Progress {
 public:
  virtual ~Progress() = default;
  // The status line now reads `text`; redraw it at once.
  virtual void ShowStatus(const std::string& text) { (void)text; }
  // The wait cursor, shown from BeginWait to the matching EndWait.
  virtual void BeginWait() {}
  virtual void EndWait() {}
  // Step `step` of `steps` of the operation under way has begun.
  virtual void Step(int step, int steps) {
    (void)step;
    (void)steps;
  }
};

}  // namespace stelp
