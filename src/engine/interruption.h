// SIGINT and SIGTERM stop the running conversions and remove what they were building.
#pragma once

#include <stop_token>

namespace kv::Interruption {

/// Blocks SIGINT and SIGTERM in every thread and waits for them on a thread of its own. On
/// either: every registered conversion is asked to stop, given a few seconds to unwind (which
/// removes its pending output and staging folder), whatever is still tracked is removed, and the
/// process then ends by that signal. Call first in main, before any other thread starts.
void install();

/// One conversion's registration for the life of the object.
class Scope {
  public:
    explicit Scope(std::stop_source source);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

  private:
    std::stop_source m_source;
};

} // namespace kv::Interruption
