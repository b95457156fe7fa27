#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QMutex>
#include <QThreadPool>
#include <QWaitCondition>

#include <functional>
#include <memory>
#include <utility>

// Reads a folder on a worker thread, so that a folder of many thousand entries never holds up
// the window. The widget waits a short while for the result: a small folder is thus shown
// before the call returns, exactly as if it had been read in place; a bigger one arrives
// later, on the widget's thread, through the same callback. Starting another read, Cancel()
// or destroying the listing drops the result of the one before. The work must not touch the
// widget: it gets copies of what it needs and returns plain data.
template <typename Result>
class BackgroundListing {
public:
    BackgroundListing() = default;
    BackgroundListing(const BackgroundListing&) = delete;
    BackgroundListing& operator=(const BackgroundListing&) = delete;
    ~BackgroundListing() { Cancel(); }

    // Runs work on the thread pool and hands its result to done on this thread. Returns true
    // when done has run already (the result came within waitMs), false when it runs later.
    bool Start(std::function<Result()> work, std::function<void(Result)> done, int waitMs)
    {
        Cancel();
        auto job = std::make_shared<Job>();
        job->done = std::move(done);
        m_job = job;
        QThreadPool::globalInstance()->start([job, work = std::move(work)] {
            Result result = work();
            {
                QMutexLocker lock(&job->mutex);
                job->result = std::move(result);
                job->finished = true;
                job->arrived.wakeAll();
            }
            // Handed over through the application object, which outlives every widget; the
            // job tells whether its widget still wants it.
            QMetaObject::invokeMethod(
                QCoreApplication::instance(), [job] { job->Deliver(); }, Qt::QueuedConnection);
        });
        {
            QMutexLocker lock(&job->mutex);
            const QDeadlineTimer deadline(waitMs);
            while (!job->finished && !deadline.hasExpired())
                job->arrived.wait(&job->mutex, deadline);
            if (!job->finished)
                return false;
        }
        job->Deliver();
        return true;
    }

    // Drops the result of the read under way, if any.
    void Cancel()
    {
        if (m_job)
            m_job->wanted = false;
        m_job.reset();
    }

    bool Busy() const { return m_job && !m_job->delivered; }

private:
    struct Job {
        QMutex mutex;
        QWaitCondition arrived;
        bool finished = false; // guarded by mutex
        Result result;         // guarded by mutex until finished
        // touched on the widget's thread only:
        bool wanted = true;
        bool delivered = false;
        std::function<void(Result)> done;

        void Deliver()
        {
            if (!wanted || delivered)
                return;
            delivered = true;
            Result taken;
            {
                QMutexLocker lock(&mutex);
                taken = std::move(result);
            }
            // done may start another read, which replaces this job; keep it alive meanwhile
            auto callback = std::move(done);
            callback(std::move(taken));
        }
    };

    std::shared_ptr<Job> m_job;
};
