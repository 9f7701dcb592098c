// How many jobs of a batch run at once: a total and a limit per category, from the core count.
#pragma once

#include "base/uuid.h"
#include "formats/supported_format.h"

#include <deque>
#include <map>
#include <optional>

namespace kv {

struct BatchLimits {
    /// The active core count of this machine.
    static int activeCores();

    /// clamp(cores − 2, 2, 6).
    static int total(int cores);
    /// image: the total; video 2; audio and font clamp(cores − 2, 2, 4); document, archive and
    /// unknown 1.
    static int forCategory(FileCategory category, int cores);
};

/// The waiting jobs of one batch in queue order, and how many of each category run. Main thread.
class BatchQueue {
  public:
    struct Entry {
        Uuid id;
        FileCategory category = FileCategory::unknown;
    };

    BatchQueue(std::deque<Entry> waiting, int cores);

    /// The first waiting job whose category is below its limit, while the total allows; it
    /// leaves the waiting list and counts as running.
    std::optional<Entry> nextEligible();
    /// A running job of `category` ended.
    void finished(FileCategory category);

    int running() const { return m_running; }
    std::size_t waiting() const { return m_waiting.size(); }

  private:
    std::deque<Entry> m_waiting;
    std::map<FileCategory, int> m_byCategory;
    int m_cores;
    int m_running = 0;
};

} // namespace kv
