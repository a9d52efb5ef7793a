// A fixed set of slots for recycling objects between threads without a lock. Taking and
// parking use only atomic exchanges on the slots, so an object is never in two slots.
#pragma once

#include <atomic>
#include <cstddef>

template <typename T, size_t N = 8>
class QN_ObjectPool {
public:
    QN_ObjectPool() {
        for (auto& slot : m_Slots) slot.store(nullptr, std::memory_order_relaxed);
    }
    QN_ObjectPool(const QN_ObjectPool&) = delete;
    QN_ObjectPool& operator=(const QN_ObjectPool&) = delete;

    // A parked object, or nullptr when none could be had.
    T* Take() {
        for (auto& slot : m_Slots) {
            if (slot.load(std::memory_order_acquire) == nullptr) continue;
            T* p = slot.exchange(nullptr, std::memory_order_acq_rel);
            if (p) return p;
        }
        return nullptr;
    }

    // Parks p. Returns nullptr when an object was parked, else the object the caller must
    // destroy: the pool was full or closed. That may be another object than p, one that a
    // concurrent Park put into a slot between the test and the exchange.
    T* Park(T* p) {
        if (!p) return nullptr;
        if (m_bClosed.load(std::memory_order_acquire)) return p;
        for (auto& slot : m_Slots) {
            if (slot.load(std::memory_order_acquire) != nullptr) continue;
            p = slot.exchange(p, std::memory_order_acq_rel);
            if (!p) return nullptr;
        }
        return p;
    }

    // Empties every slot, handing each object to pfnDestroy. Returns how many there were.
    template <typename F>
    size_t Drain(F pfnDestroy) {
        size_t n = 0;
        for (auto& slot : m_Slots) {
            T* p = slot.exchange(nullptr, std::memory_order_acq_rel);
            if (p) {
                pfnDestroy(p);
                ++n;
            }
        }
        return n;
    }

    // From now on Park parks nothing; used once, at process end, before the last Drain.
    void Close() { m_bClosed.store(true, std::memory_order_release); }

    size_t ParkedCount() const {
        size_t n = 0;
        for (const auto& slot : m_Slots) {
            if (slot.load(std::memory_order_acquire)) ++n;
        }
        return n;
    }

private:
    std::atomic<T*> m_Slots[N];
    std::atomic<bool> m_bClosed{false};
};
