// A value computed lazily by readers that share an object: filled at most once, the first
// store wins, and every later read is one atomic load. Losers free their own value, so a
// failed or racing fill can simply be retried by the next caller (unlike std::call_once,
// nothing blocks and an error leaves the slot empty).
#pragma once

#include <atomic>
#include <memory>

namespace vexlo {

template <class T>
class FillOnce {
  public:
    FillOnce() = default;
    // Copies carry a copy of the filled value (T must then be copyable).
    FillOnce(const FillOnce& other) : ptr_(other.clone()) {}
    FillOnce(FillOnce&& other) noexcept : ptr_(other.take()) {}
    FillOnce& operator=(const FillOnce& other) {
        if (this != &other) reset(std::unique_ptr<T>(other.clone()));
        return *this;
    }
    FillOnce& operator=(FillOnce&& other) noexcept {
        if (this != &other) reset(std::unique_ptr<T>(other.take()));
        return *this;
    }
    ~FillOnce() { delete ptr_.load(std::memory_order_acquire); }

    // The stored value, or null while empty.
    T* get() const { return ptr_.load(std::memory_order_acquire); }

    // Stores `fresh` unless another caller stored first; returns the value that stays.
    T* fill(std::unique_ptr<T> fresh) const {
        T* expected = nullptr;
        if (ptr_.compare_exchange_strong(expected, fresh.get(), std::memory_order_acq_rel,
                                         std::memory_order_acquire)) {
            return fresh.release();
        }
        return expected;  // ours is dropped with `fresh`
    }

    // Replaces the value; only for an owner with exclusive access.
    void reset(std::unique_ptr<T> value = nullptr) noexcept {
        delete ptr_.exchange(value.release(), std::memory_order_acq_rel);
    }

  private:
    T* take() noexcept { return ptr_.exchange(nullptr, std::memory_order_acq_rel); }
    T* clone() const {
        const T* p = get();
        return p != nullptr ? new T(*p) : nullptr;
    }

    mutable std::atomic<T*> ptr_{nullptr};
};

}  // namespace vexlo
