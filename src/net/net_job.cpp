#include "net/net_job.h"

#include <exception>
#include <thread>

std::shared_ptr<NetJob> StartNetJob(std::function<HttpResult()> work)
{
    std::shared_ptr<NetJob> job = std::make_shared<NetJob>();
    std::thread([job, work = std::move(work)]() mutable {
        HttpResult outcome;
        try
        {
            outcome = work();   // an empty function throws bad_function_call: handled alike
        }
        catch (const std::exception& e)
        {
            outcome = HttpResult();
            outcome.error = e.what();
        }
        job->result.status = outcome.status;
        job->result.body = std::move(outcome.body);
        job->result.error = std::move(outcome.error);
        job->done.store(true);
        // The closure's copies of `work` and `job` go with the thread; whoever
        // lets go of the job last frees it.
    }).detach();
    return job;
}
