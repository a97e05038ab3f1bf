#pragma once

#include <QElapsedTimer>

// Measures the run's time limits on the monotonic clock. Tests stop its time and
// move it on by hand, to reach a limit to the millisecond without waiting for it.
class RunClock
{
public:
    void start()
    {
        m_timer.start();
        m_offsetAtStart = s_offset;
    }
    void restart() { start(); }
    [[nodiscard]] qint64 elapsed() const
    {
        return (s_stopped ? 0 : m_timer.elapsed()) + s_offset - m_offsetAtStart;
    }

    // From now on, for every clock, time moves only by advanceForTesting().
    static void stopForTesting() { s_stopped = true; }
    static void advanceForTesting(qint64 ms) { s_offset += ms; }

private:
    inline static bool s_stopped = false;
    inline static qint64 s_offset = 0;
    QElapsedTimer m_timer;
    qint64 m_offsetAtStart = 0;
};
