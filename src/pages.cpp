#include "pages.h"

#include <algorithm>
#include <atomic>

#include "layout.h"

namespace {

std::atomic<int> wanted{1};
std::atomic<long long> cycle_ms{0};
std::atomic<unsigned> cycle_serial{0};  // a new period starts when it changes
// The render thread's.
unsigned cycle_seen = 0;
long long next_turn = 0;

}  // namespace

void pages_show(int page)
{
    wanted = page;
    cycle_serial.fetch_add(1);
}

int pages_wanted(void)
{
    return wanted.load();
}

void pages_set_cycle(long long period_ms)
{
    cycle_ms = period_ms;
    cycle_serial.fetch_add(1);
}

long long pages_cycle_ms(void)
{
    return cycle_ms.load();
}

int pages_tick(long long now, const std::function<std::vector<int>()>& in_use)
{
    const long long period = cycle_ms.load();
    if (const unsigned serial = cycle_serial.load(); serial != cycle_seen) {
        cycle_seen = serial;
        next_turn = now + period;
    }
    if (period > 0 && now >= next_turn) {
        next_turn = std::max(next_turn + period, now + 1);
        // Not through pages_show: the period runs on.
        wanted = next_page(wanted.load(), in_use());
    }
    return wanted.load();
}
