// How many conversions run at once: a total, and within it two videos, one document, one archive.
#pragma once

#include "formats/supported_format.h"

#include <condition_variable>
#include <map>
#include <mutex>

namespace kv {

class ConcurrencyLimits {
  public:
    /// The active core count minus two, clamped to 2…6.
    static int defaultTotal();

    explicit ConcurrencyLimits(int total = defaultTotal());

    /// Holds one place until destroyed.
    class Slot {
      public:
        Slot(ConcurrencyLimits& limits, FileCategory category);
        ~Slot();
        Slot(const Slot&) = delete;
        Slot& operator=(const Slot&) = delete;

      private:
        ConcurrencyLimits& m_limits;
        FileCategory m_category;
    };

    /// At most this many of a category at once; 0 means only the total limits it.
    static int categoryLimit(FileCategory category);

  private:
    std::mutex m_lock;
    std::condition_variable m_freed;
    int m_total;
    int m_running = 0;
    std::map<FileCategory, int> m_byCategory;
};

} // namespace kv
