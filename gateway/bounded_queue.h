/* SPDX-License-Identifier: MIT */
// A bounded first-in first-out queue between one producer that must never
// wait (the gateway's poll loop) and one consumer that may (a sender
// thread). A full queue refuses the new element: the producer counts it.
#ifndef PCI5C3A_GATEWAY_BOUNDED_QUEUE_H
#define PCI5C3A_GATEWAY_BOUNDED_QUEUE_H

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>

namespace gateway {

template <typename T>
class BoundedQueue {
public:
    explicit BoundedQueue(std::size_t capacity) : capacity_(capacity) {}

    // False, and nothing changes, when the queue is full or closed.
    bool try_push(const T &value) {
        {
            std::lock_guard lock(mutex_);
            if (closed_ || items_.size() >= capacity_) return false;
            items_.push_back(value);
        }
        ready_.notify_one();
        return true;
    }

    // The oldest element; waits for one until the queue is closed, then
    // returns nothing (elements still queued are left for discard()).
    std::optional<T> pop() {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return closed_ || !items_.empty(); });
        if (closed_) return std::nullopt;
        T value = items_.front();
        items_.pop_front();
        return value;
    }

    // Wakes the consumer for good.
    void close() {
        {
            std::lock_guard lock(mutex_);
            closed_ = true;
        }
        ready_.notify_all();
    }

    // Empties the queue, returning how many elements it held.
    std::size_t discard() {
        std::lock_guard lock(mutex_);
        const std::size_t n = items_.size();
        items_.clear();
        return n;
    }

    [[nodiscard]] std::size_t size() const {
        std::lock_guard lock(mutex_);
        return items_.size();
    }
    [[nodiscard]] std::size_t capacity() const { return capacity_; }

private:
    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<T> items_;
    bool closed_ = false;
};

}  // namespace gateway

#endif
