#pragma once

namespace kw {

// Tells whether another instance of the updater runs in this session. The first instance to
// ask claims the program for as long as the guard lives; later ones are told it is taken.
class InstanceGuard {
 public:
  virtual ~InstanceGuard() = default;
  virtual bool AnotherInstanceRunning() = 0;
};

}  // namespace kw
