#pragma once

#include <QByteArray>
#include <QString>
#include <chrono>
#include <functional>
#include <ostream>

// Readable failure messages for texts.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace testsupport {

// Runs the event loop until `done` returns true or `timeout` passes; returns the last
// answer of `done`. Network and timer tests wait with this instead of sleeping.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(5));

// Runs the event loop for `duration`, for tests that prove something does NOT happen.
void spinFor(std::chrono::milliseconds duration);

// Whole-file helpers for tests that write fixtures by hand.
QByteArray readAll(const QString& path);
void writeAll(const QString& path, const QByteArray& bytes);

} // namespace testsupport
