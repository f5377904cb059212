#pragma once

#include <vector>

#include "parallel/ProcessPool.h"

namespace velthread {

// Runs an array of jobs with work of their own: handed to the process pool one by one and awaited
// together, or run here in order when there is no pool.
template <typename JobType>
void runJobBatch(std::vector<JobType>& jobs)
{
    ThreadPool* pool = processPool();
    if (!pool) {
        for (JobType& job : jobs) {
            job.run();
            job.finished();
        }
        return;
    }
    for (JobType& job : jobs)
        pool->submit(job);
    pool->waitAll(jobs);
}

}  // namespace velthread
