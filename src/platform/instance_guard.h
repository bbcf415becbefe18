#pragma once

namespace kw {

// Tells whether another instance of the updater runs in this session. The first instance to
// ask claims the program for as long as the guard lives (or its process runs); later ones are
// told it is taken. The first answer stands: later calls repeat it.
//
// A guard that cannot tell (its lock is not safe to use, or cannot be made) fails with a
// Failure that says why and what the operator can do; the updater must then not run, since
// running unguarded could let two updaters write the same files.
class InstanceGuard {
 public:
  virtual ~InstanceGuard() = default;
  virtual bool AnotherInstanceRunning() = 0;
};

}  // namespace kw
