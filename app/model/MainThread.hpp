#pragma once

#include <QCoreApplication>
#include <QMetaObject>
#include <QThreadPool>
#include <utility>

namespace vellary {

// Runs f on the main thread's event loop. Callers capture a QPointer, never a raw object, so
// work that finishes after its owner is gone does nothing.
template <class F> void postToMain(F&& f) {
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::forward<F>(f),
                              Qt::QueuedConnection);
}

// Worker threads for scans, saves, copies and destination checks. Separate from the global
// pool so that a long scan never waits behind, or holds up, short checks.
inline QThreadPool& workers() {
    static QThreadPool* pool = [] {
        auto* made = new QThreadPool(QCoreApplication::instance());
        made->setMaxThreadCount(16);
        return made;
    }();
    return *pool;
}

} // namespace vellary
