// Randomised check of the archive's flat map against std::map: inserts, overwrites,
// removals (which shift later entries back in the open-addressing table), in-order
// appends, re-keying with drops, growth, and lookups of present and absent keys, at
// sizes where the table is nearly full and probe runs are long. Exits non-zero with a
// message on the first disagreement.
#include <cstdint>
#include <cstdio>
#include <map>
#include <random>

#include "slot_map.h"

namespace {

using orvane::Address;
using orvane::SlotMap;

int failures = 0;

void require(bool condition, const char* what, unsigned long long step) {
  if (!condition && failures++ == 0) std::printf("step %llu: %s\n", step, what);
}

void compare(const SlotMap<std::uint64_t>& map, const std::map<Address, std::uint64_t>& model,
             std::mt19937_64& random, unsigned long long step) {
  require(map.size() == model.size(), "sizes differ", step);
  std::size_t seen = 0;
  for (const auto& entry : map) {
    auto found = model.find(entry.first);
    require(found != model.end() && found->second == entry.second, "iteration disagrees", step);
    ++seen;
  }
  require(seen == model.size(), "iteration count differs", step);
  for (const auto& [key, value] : model) {
    const std::uint64_t* found = map.find(key);
    require(found != nullptr && *found == value, "a present key is not found", step);
  }
  for (int i = 0; i < 64; ++i) {
    const Address key = (random() % 4096) * 4;
    require((map.find(key) != nullptr) == (model.count(key) != 0), "absent key found", step);
  }
}

}  // namespace

int main() {
  std::mt19937_64 random(20261208);
  for (int round = 0; round < 16 && failures == 0; ++round) {
    SlotMap<std::uint64_t> map;
    std::map<Address, std::uint64_t> model;
    const std::uint64_t span = round % 2 == 0 ? 64 : 4096;  // dense or sparse slots
    if (round % 4 < 2) {                                    // start with an in-order load
      const std::size_t count = random() % 3000;
      map.reserve(count / 2);
      Address next = 0;
      bool in_order = true;
      for (std::size_t i = 0; i < count; ++i) {
        next += 4 * (1 + random() % 3);
        const Address key = random() % 16 == 0 ? (random() % (next / 4 + 1)) * 4 : next;
        const std::uint64_t value = key * 7;  // a repeated slot repeats its value
        if (in_order && map.append_above(key, value) != nullptr) {
          model[key] = value;
          continue;
        }
        if (in_order) map.index_appended();
        in_order = false;
        map.insert_or_assign(key, value);
        model[key] = value;
      }
      map.index_appended();
      compare(map, model, random, 0);
    }
    for (unsigned long long step = 1; step <= 8000 && failures == 0; ++step) {
      const Address key = (random() % span) * 4;
      switch (random() % 8) {
        case 0:
        case 1:
        case 2: {
          const std::uint64_t value = random();
          map.insert_or_assign(key, value);
          model[key] = value;
          break;
        }
        case 3:
        case 4:
          map.erase(key);
          model.erase(key);
          break;
        case 5: {
          std::uint64_t& value = map.find_or_insert(key);
          value += 1;
          model[key] += 1;
          break;
        }
        case 6: {
          if (random() % 64 != 0) break;
          // Shift keys at or above `at` by `by`, dropping those inside a removed range.
          const Address at = (random() % span) * 4;
          const bool grow = random() % 2 == 0;
          const Address by = 4 * (1 + random() % 8);
          std::map<Address, std::uint64_t> moved;
          for (const auto& [k, v] : model) {
            if (grow) {
              moved[k >= at ? k + by : k] = v;
            } else if (k < at || k >= at + by) {
              moved[k >= at + by ? k - by : k] = v;
            }
          }
          model.swap(moved);
          map.rekey(
              [&](const auto& entry) { return grow || entry.first < at || entry.first >= at + by; },
              [&](auto& entry) {
                if (grow && entry.first >= at) entry.first += by;
                if (!grow && entry.first >= at + by) entry.first -= by;
              });
          break;
        }
        default:
          require((map.find(key) != nullptr) == (model.count(key) != 0), "lookup differs", step);
      }
      if (step % 997 == 0) compare(map, model, random, step);
    }
    compare(map, model, random, 99999);
  }
  if (failures == 0) std::puts("ok");
  return failures == 0 ? 0 : 1;
}
