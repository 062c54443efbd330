#pragma once

#include <atomic>
#include <mutex>

namespace SystemLog {

// Base of a process-wide single instance that is created on first use and destroyed only by an
// explicit release(), never at static destruction. T needs a default constructor that
// qz_singleton_sys<T> may call.
template <typename T> class qz_singleton_sys
{
public:
    virtual ~qz_singleton_sys() = default;

    // The one instance, created on first use; never null. No lock once it exists.
    static T *instance();

    // Destroys the instance if there is one; a later instance() creates a new one.
    static void release();

protected:
    qz_singleton_sys() = default;

private:
    static std::atomic<T *> m_pInstance;
    static std::mutex m_mutex;
};

template <typename T> std::atomic<T *> qz_singleton_sys<T>::m_pInstance{nullptr};

template <typename T> std::mutex qz_singleton_sys<T>::m_mutex;

template <typename T> T *qz_singleton_sys<T>::instance()
{
    // The pointer is published with release ordering only after construction has finished,
    // so a reader that sees it also sees the complete instance.
    T *existing = m_pInstance.load(std::memory_order_acquire);
    if (existing)
        return existing;
    std::lock_guard<std::mutex> lock(m_mutex);
    existing = m_pInstance.load(std::memory_order_relaxed);
    if (!existing) {
        existing = new T();
        m_pInstance.store(existing, std::memory_order_release);
    }
    return existing;
}

template <typename T> void qz_singleton_sys<T>::release()
{
    if (!m_pInstance.load(std::memory_order_acquire))
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    T *existing = m_pInstance.load(std::memory_order_relaxed);
    if (!existing)
        return;
    // Unpublish first: a concurrent instance() then waits on the mutex for a new instance
    // instead of receiving the one being destroyed.
    m_pInstance.store(nullptr, std::memory_order_release);
    delete static_cast<qz_singleton_sys<T> *>(existing);
}

} // namespace SystemLog
