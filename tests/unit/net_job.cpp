#include <doctest.h>

#include "net/net_job.h"

#include <chrono>
#include <stdexcept>
#include <thread>

namespace
{
bool WaitDone(const NetJob& job)
{
    // Generous: it only bounds a failure, and a loaded machine starts threads late.
    for (int i = 0; i < 3000 && !job.done.load(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return job.done.load();
}
} // namespace

TEST_CASE("a job carries its result")
{
    auto job = StartNetJob([]() {
        HttpResult r;
        r.status = 200;
        r.body = "body";
        return r;
    });
    REQUIRE(WaitDone(*job));
    CHECK(job->result.status == 200);
    CHECK(job->result.body == "body");
    CHECK(job->result.error.empty());
}

TEST_CASE("an exception becomes the error text")
{
    auto job = StartNetJob([]() -> HttpResult { throw std::runtime_error("disk on fire"); });
    REQUIRE(WaitDone(*job));
    CHECK(job->result.status == 0);
    CHECK(job->result.body.empty());
    CHECK(job->result.error == "disk on fire");

    auto empty = StartNetJob(std::function<HttpResult()>());
    REQUIRE(WaitDone(*empty));
    CHECK_FALSE(empty->result.error.empty());
}

TEST_CASE("an abandoned job does not block its owner and is freed when its thread ends")
{
    std::weak_ptr<NetJob> watch;
    std::atomic<bool> release{false};
    {
        auto job = StartNetJob([&release]() {
            while (!release.load())
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            return HttpResult();
        });
        watch = job;
    } // the owner lets go while the work still runs
    CHECK_FALSE(watch.expired());
    release.store(true);
    for (int i = 0; i < 3000 && !watch.expired(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    CHECK(watch.expired());
}
