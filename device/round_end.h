// The end of the last round as the host keeps it: its members data_state and
// last_data_time, shared between threads without a lock.
//
// The end of a round writes both on the thread that delivers the round's last
// reply (or that reloads a record); Get_Value and the status report read them
// on any host thread, and the host may set them itself. They are the host's
// plain members, so the device cannot make them atomic objects. Instead every
// access of the device is atomic byte by byte, and a sequence count tells a
// reader whether a write went on while it read:
//   - the writer makes the count odd, writes the bytes (release), then makes
//     the count even again (release);
//   - a reader reads an even count (acquire), the bytes (acquire), and the
//     count once more; the same count means the bytes are one write's whole.
// A reader never waits for a lock and never sees half a time (the 64-bit time
// is two words on the 32-bit controller). The host's own writes are its own
// business: it writes them on its threads as it reads them.
#pragma once

#include <atomic>
#include <cstring>
#include <thread>
#include <type_traits>

#include <boost/date_time/posix_time/posix_time_types.hpp>

namespace device_state {

// Bytes of a trivially copyable object, copied one at a time with atomic
// accesses, so that a reader on another thread never races the writer.
template <typename T>
void store_bytes(T& target, const T& value) {
  static_assert(std::is_trivially_copyable<T>::value, "copied as bytes");
  unsigned char bytes[sizeof(T)];
  std::memcpy(bytes, &value, sizeof(T));
  unsigned char* const to = reinterpret_cast<unsigned char*>(&target);
  for (size_t i = 0; i < sizeof(T); ++i) __atomic_store_n(to + i, bytes[i], __ATOMIC_RELEASE);
}

template <typename T>
T load_bytes(const T& source) {
  static_assert(std::is_trivially_copyable<T>::value, "copied as bytes");
  unsigned char bytes[sizeof(T)];
  const unsigned char* const from = reinterpret_cast<const unsigned char*>(&source);
  for (size_t i = 0; i < sizeof(T); ++i) bytes[i] = __atomic_load_n(from + i, __ATOMIC_ACQUIRE);
  T value;
  std::memcpy(static_cast<void*>(&value), bytes, sizeof(T));
  return value;
}

struct RoundEnd {
  bool data_state;
  boost::posix_time::ptime last_data_time;
};

// The sequence count of one device's data_state and last_data_time.
class RoundEndCount {
 public:
  // Sets data_state to true and last_data_time to `time`. One writer at a
  // time: the host keeps a device's exchanges (and so its round ends) apart.
  // Should two overlap all the same, the count still ends even, so readers
  // never wait for ever.
  void write(bool& data_state, boost::posix_time::ptime& last_data_time,
             const boost::posix_time::ptime& time) {
    writes_.fetch_add(1, std::memory_order_relaxed);
    store_bytes(data_state, true);
    store_bytes(last_data_time, time);
    writes_.fetch_add(1, std::memory_order_release);
  }

  // Both members as one write left them (or as the host set them).
  RoundEnd read(const bool& data_state, const boost::posix_time::ptime& last_data_time) const {
    for (;;) {
      const unsigned before = writes_.load(std::memory_order_acquire);
      if (before % 2 == 0) {
        const RoundEnd seen{load_bytes(data_state), load_bytes(last_data_time)};
        if (writes_.load(std::memory_order_relaxed) == before) return seen;
      }
      std::this_thread::yield();  // a write is under way: a few stores
    }
  }

 private:
  std::atomic<unsigned> writes_{0};  // odd while a write is under way
};

}  // namespace device_state
