#include "share_server.h"

#include "page_encoder.h"
#include "scan_types.h"

#include <microhttpd.h>

#include <arpa/inet.h>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <optional>
#include <sys/random.h>
#include <thread>

namespace ruvo_share {

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kBandLines = 32;

std::string newJobId()
{
    uint8_t bytes[16] = {};
    if (getrandom(bytes, sizeof(bytes), 0) != sizeof(bytes)) {
        // Without the kernel's randomness the ids are still unique, not secret.
        static uint64_t counter = 0;
        uint64_t now = static_cast<uint64_t>(Clock::now().time_since_epoch().count()) ^ ++counter;
        std::memcpy(bytes, &now, sizeof(now));
    }
    char text[33];
    for (int i = 0; i < 16; ++i)
        std::snprintf(text + 2 * i, 3, "%02x", bytes[i]);
    return text;
}

} // namespace

struct Job {
    std::string id;
    std::string scanner; // its slug
    ScanRequest request;
    std::string uri;
    std::shared_ptr<DaemonScan> scan; // shared with the page being sent
    int startStatus = ruvo_wire::RESULT_GOOD;
    Clock::time_point created = Clock::now();
    Clock::time_point lastUse = Clock::now();
    bool transferring = false;
    bool finished = false; // no more pages: the scanner is free again
    bool aborted = false;
    // The client deleted the job while a page of it was on its way; the page's
    // stream ends only once that DELETE has its answer (see readPage).
    bool deletedByClient = false;
    bool deleteAnswered = false;
    int images = 0;
    PageShape lastShape;
};

struct ShareServer::State {
    ShareSettings settings;
    MHD_Daemon *daemon = nullptr;
    std::mutex mutex; // guards scanners, jobs and every Job's fields
    std::vector<ScannerEntry> scanners; // they come and go while the share runs
    std::map<std::string, std::shared_ptr<Job>> jobs;
    std::thread sweeper;
    std::condition_variable stopping;
    std::condition_variable deleteAnswered; // a DELETE's answer went out
    bool stopped = false;
    bool trace = std::getenv("RUVO_SCAN_SHARE_TRACE") != nullptr; // every request on standard error

    // The scanner a route names, as it is now.
    std::optional<ScannerEntry> scannerOf(const Route &route)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (scanners.empty())
            return std::nullopt;
        if (route.scanner.empty())
            return scanners.front();
        for (const ScannerEntry &scanner : scanners)
            if (scanner.slug == route.scanner)
                return scanner;
        return std::nullopt;
    }
    std::shared_ptr<Job> runningJob(const std::string &scanner)
    {
        for (auto &[id, job] : jobs)
            if (job->scanner == scanner && !job->finished)
                return job;
        return nullptr;
    }
    // Ends a job's scan outside the lock: aborting waits for the daemon.
    void endScan(const std::shared_ptr<Job> &job, bool abort)
    {
        std::shared_ptr<DaemonScan> scan;
        {
            std::lock_guard<std::mutex> lock(mutex);
            scan = std::move(job->scan);
            job->finished = true;
            job->aborted = job->aborted || abort;
        }
        if (scan && abort)
            scan->abort();
    }
    void sweep();
};

void ShareServer::State::sweep()
{
    std::unique_lock<std::mutex> lock(mutex);
    while (!stopped) {
        stopping.wait_for(lock, std::chrono::seconds(2));
        auto now = Clock::now();
        std::vector<std::shared_ptr<Job>> expired;
        for (auto it = jobs.begin(); it != jobs.end();) {
            Job &job = *it->second;
            bool idle = !job.transferring && now - job.lastUse > std::chrono::seconds(settings.jobTimeoutSeconds);
            if (idle && !job.finished)
                expired.push_back(it->second);
            // Finished jobs stay listed in the status for a while.
            if (job.finished && now - job.lastUse > std::chrono::seconds(300))
                it = jobs.erase(it);
            else
                ++it;
        }
        lock.unlock();
        for (auto &job : expired) {
            std::fprintf(stderr, "RuvoScanShare: job %s abandoned; its scan is aborted\n", job->id.c_str());
            endScan(job, true);
        }
        lock.lock();
    }
}

namespace {

struct Upload {
    std::string body;
    bool tooLarge = false;
    std::shared_ptr<Job> deleted; // the job this request deletes, told once it is answered
};

MHD_Result answer(MHD_Connection *connection, unsigned status, const std::string &body,
                  const char *type = "text/xml", const std::string &location = {})
{
    MHD_Response *response =
        MHD_create_response_from_buffer(body.size(), const_cast<char *>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (!response)
        return MHD_NO;
    if (!body.empty())
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    if (!location.empty())
        MHD_add_response_header(response, MHD_HTTP_HEADER_LOCATION, location.c_str());
    if (status == 503)
        MHD_add_response_header(response, "Retry-After", "5");
    MHD_Result result = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return result;
}

// One page on its way to the client, encoded band by band as it is read.
struct PageStream {
    ShareServer::State *state = nullptr;
    std::shared_ptr<Job> job;
    std::shared_ptr<DaemonScan> scan;
    std::unique_ptr<PageEncoder> encoder;
    std::vector<uint8_t> band;
    size_t sent = 0; // of the encoder's output
    bool complete = false;
    bool failed = false;
};

// Ends a page's stream that failed. When the client deleted the job, the
// stream ends after the DELETE is answered, not before: a client that sees
// its page cut off while its DELETE is still open may wait for ever on the
// DELETE's job (a common eSCL client does). The wait is bounded for a client
// that never reads that answer.
ssize_t endWithError(PageStream &stream)
{
    std::unique_lock<std::mutex> lock(stream.state->mutex);
    Job &job = *stream.job;
    stream.state->deleteAnswered.wait_for(lock, std::chrono::seconds(2),
                                          [&] { return !job.deletedByClient || job.deleteAnswered; });
    return MHD_CONTENT_READER_END_WITH_ERROR;
}

ssize_t readPage(void *context, uint64_t, char *buffer, size_t max)
{
    auto *stream = static_cast<PageStream *>(context);
    std::vector<uint8_t> &output = stream->encoder->output();
    while (stream->sent >= output.size()) {
        output.clear();
        stream->sent = 0;
        if (stream->complete)
            return MHD_CONTENT_READER_END_OF_STREAM;
        {
            std::lock_guard<std::mutex> lock(stream->state->mutex);
            stream->failed = stream->failed || stream->job->aborted;
        }
        if (stream->failed)
            return endWithError(*stream);
        int lines = stream->scan->readLines(stream->band.data(), kBandLines);
        if (lines < 0) {
            stream->failed = true;
            return endWithError(*stream);
        }
        bool good = lines == 0 ? stream->encoder->finish() : stream->encoder->write(stream->band.data(), lines);
        if (!good) {
            stream->failed = true;
            return MHD_CONTENT_READER_END_WITH_ERROR;
        }
        stream->complete = lines == 0;
    }
    size_t length = std::min(max, output.size() - stream->sent);
    std::memcpy(buffer, output.data() + stream->sent, length);
    stream->sent += length;
    return static_cast<ssize_t>(length);
}

void pageSent(void *context)
{
    auto *stream = static_cast<PageStream *>(context);
    // A page sent whole or not is not sent again: its file goes. That is done
    // before the job is free for its next NextDocument, which another
    // connection's thread may already be asking for.
    stream->scan->pageDone();
    {
        std::lock_guard<std::mutex> lock(stream->state->mutex);
        stream->job->transferring = false;
        stream->job->lastUse = Clock::now();
        if (stream->complete)
            ++stream->job->images;
    }
    delete stream;
}

std::string imageInfoXml(const Job &job)
{
    size_t bytesPerLine = static_cast<size_t>(job.lastShape.width) * static_cast<size_t>(job.lastShape.components);
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<scan:ScanImageInfo "
           "xmlns:scan=\"http://schemas.hp.com/imaging/escl/2011/05/03\" "
           "xmlns:pwg=\"http://www.pwg.org/schemas/2010/12/sm\"><pwg:JobUri>" +
           job.uri + "</pwg:JobUri><pwg:JobUuid>" + job.id + "</pwg:JobUuid><scan:ActualWidth>" +
           std::to_string(job.lastShape.width) + "</scan:ActualWidth><scan:ActualHeight>" +
           std::to_string(job.lastShape.height) + "</scan:ActualHeight><scan:ActualBytesPerLine>" +
           std::to_string(bytesPerLine) + "</scan:ActualBytesPerLine></scan:ScanImageInfo>\n";
}

MHD_Result serveNextDocument(ShareServer::State &state, MHD_Connection *connection, const std::shared_ptr<Job> &job)
{
    std::shared_ptr<DaemonScan> scan;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        job->lastUse = Clock::now();
        if (job->transferring)
            return answer(connection, 503, {}); // one page at a time
        if (job->startStatus != ruvo_wire::RESULT_GOOD || job->finished || !job->scan) {
            int status = job->startStatus != ruvo_wire::RESULT_GOOD ? job->startStatus : ruvo_wire::RESULT_NO_DOCUMENTS;
            job->finished = true;
            return answer(connection, static_cast<unsigned>(HttpStatusFor(status)), {});
        }
        job->transferring = true;
        scan = job->scan;
    }
    PageShape shape;
    int status = scan->nextPage(shape);
    if (status != ruvo_wire::RESULT_GOOD) {
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            job->transferring = false;
        }
        // The scan is over: its pages are all sent, or it failed.
        state.endScan(job, false);
        return answer(connection, static_cast<unsigned>(HttpStatusFor(status)), {});
    }
    auto stream = std::make_unique<PageStream>();
    stream->state = &state;
    stream->job = job;
    stream->scan = scan;
    stream->encoder = MakePageEncoder(job->request.format, shape.width, shape.height, shape.components,
                                      job->request.resolution);
    stream->band.resize(static_cast<size_t>(shape.width) * static_cast<size_t>(shape.components) * kBandLines);
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        job->lastShape = shape;
    }
    if (!stream->encoder) {
        std::lock_guard<std::mutex> lock(state.mutex);
        job->transferring = false;
        return answer(connection, 500, {});
    }
    PageStream *raw = stream.release();
    MHD_Response *response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 32 * 1024, readPage, raw, pageSent);
    if (!response) {
        pageSent(raw);
        return MHD_NO;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, job->request.format.c_str());
    MHD_Result result = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return result;
}

MHD_Result serve(ShareServer::State &state, MHD_Connection *connection, const std::string &method,
                 const Route &route, Upload &upload)
{
    const std::string &body = upload.body;
    std::optional<ScannerEntry> found = state.scannerOf(route);
    if (!found)
        return answer(connection, 404, {});
    const ScannerEntry &scanner = *found;
    const std::string &slug = scanner.slug;
    std::string base = (route.scanner.empty() ? "" : "/" + route.scanner) + "/eSCL";

    switch (route.endpoint) {
    case Endpoint::Capabilities:
        if (method != "GET")
            return answer(connection, 405, {});
        return answer(connection, 200, CapabilitiesXml(scanner.description));
    case Endpoint::Status: {
        if (method != "GET")
            return answer(connection, 405, {});
        std::vector<JobStatus> jobs;
        bool running = false;
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            auto now = Clock::now();
            for (auto &[id, job] : state.jobs) {
                if (job->scanner != slug)
                    continue;
                running = running || !job->finished;
                jobs.push_back({job->uri, job->id,
                                static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(now - job->created).count()),
                                job->images, !job->finished, job->aborted});
            }
        }
        // A network scanner's feeder is asked while no scan runs. A USB
        // scanner is not opened for a status: a status comes right before
        // each job, and the device is not opened twice in a row by two
        // connections; its job finds an empty feeder itself (404).
        FeederState feeder = scanner.description.feeder.present ? FeederState::Loaded : FeederState::None;
        if (!running && !scanner.usb)
            feeder = QueryFeeder(scanner);
        return answer(connection, 200, StatusXml(running ? ScannerState::Processing : ScannerState::Idle, feeder, jobs));
    }
    case Endpoint::ScanJobs: {
        if (method != "POST")
            return answer(connection, 405, {});
        std::optional<ScanRequest> request = ParseScanSettings(body);
        if (!request)
            return answer(connection, 400, {});
        std::string problem = CheckRequest(scanner.description, *request);
        if (!problem.empty())
            return answer(connection, 409, problem + "\n", "text/plain");
        auto job = std::make_shared<Job>();
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            if (state.runningJob(slug))
                return answer(connection, 503, {});
            job->id = newJobId();
            job->scanner = slug;
            job->request = *request;
            job->uri = base + "/ScanJobs/" + job->id;
            job->transferring = true; // nobody else touches it while it starts
            state.jobs[job->id] = job;
        }
        std::unique_ptr<DaemonScan> scan;
        int status = DaemonScan::Start(scanner, *request, scan);
        if (status != ruvo_wire::RESULT_GOOD)
            std::fprintf(stderr, "RuvoScanShare: %s did not start a scan (%d)\n", scanner.slug.c_str(), status);
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            job->transferring = false;
            job->lastUse = Clock::now();
            if (status == ruvo_wire::RESULT_BUSY) {
                state.jobs.erase(job->id);
                return answer(connection, 503, {});
            }
            if (status == ruvo_wire::RESULT_JAMMED) {
                state.jobs.erase(job->id);
                return answer(connection, 409, {});
            }
            if (status != ruvo_wire::RESULT_GOOD && status != ruvo_wire::RESULT_NO_DOCUMENTS) {
                state.jobs.erase(job->id);
                return answer(connection, 500, {});
            }
            // An empty feeder is a job without pages: its first NextDocument is 404.
            job->startStatus = status;
            job->scan = std::move(scan);
        }
        return answer(connection, 201, {}, "text/xml", job->uri);
    }
    case Endpoint::Job:
    case Endpoint::NextDocument:
    case Endpoint::ScanImageInfo: {
        std::shared_ptr<Job> job;
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            auto found = state.jobs.find(route.job);
            if (found != state.jobs.end() && found->second->scanner == slug)
                job = found->second;
        }
        if (!job)
            return answer(connection, 404, {});
        if (route.endpoint == Endpoint::Job) {
            if (method != "DELETE")
                return answer(connection, 405, {});
            bool wasRunning;
            {
                std::lock_guard<std::mutex> lock(state.mutex);
                wasRunning = !job->finished;
                job->aborted = job->aborted || wasRunning;
                job->deletedByClient = job->deletedByClient || wasRunning;
            }
            upload.deleted = job;
            // A page being sent ends with an error and its file is deleted;
            // the abort has the daemon remove the rest.
            state.endScan(job, wasRunning);
            return answer(connection, 200, {});
        }
        if (method != "GET")
            return answer(connection, 405, {});
        if (route.endpoint == Endpoint::ScanImageInfo) {
            std::lock_guard<std::mutex> lock(state.mutex);
            return answer(connection, 200, imageInfoXml(*job));
        }
        return serveNextDocument(state, connection, job);
    }
    case Endpoint::None: break;
    }
    return answer(connection, 404, {});
}

MHD_Result handle(void *context, MHD_Connection *connection, const char *url, const char *method, const char *,
                  const char *uploadData, size_t *uploadSize, void **perRequest)
{
    auto &state = *static_cast<ShareServer::State *>(context);
    auto *upload = static_cast<Upload *>(*perRequest);
    if (!upload) {
        *perRequest = new Upload;
        return MHD_YES;
    }
    if (*uploadSize > 0) {
        if (upload->body.size() + *uploadSize > kMaxSettingsBytes)
            upload->tooLarge = true;
        else
            upload->body.append(uploadData, *uploadSize);
        *uploadSize = 0;
        return MHD_YES;
    }
    if (upload->tooLarge)
        return answer(connection, 413, {});
    std::string verb = method;
    if (verb != "GET" && verb != "POST" && verb != "DELETE")
        return answer(connection, 405, {});
    Route route = ParseRoute(url);
    if (state.trace)
        std::fprintf(stderr, "RuvoScanShare: %s %s\n", method, url);
    if (route.endpoint == Endpoint::None)
        return answer(connection, 404, {});
    return serve(state, connection, verb, route, *upload);
}

void requestDone(void *context, MHD_Connection *, void **perRequest, MHD_RequestTerminationCode)
{
    std::unique_ptr<Upload> upload(static_cast<Upload *>(*perRequest));
    *perRequest = nullptr;
    if (upload && upload->deleted) {
        auto &state = *static_cast<ShareServer::State *>(context);
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            upload->deleted->deleteAnswered = true;
        }
        state.deleteAnswered.notify_all();
    }
}

MHD_Result acceptClient(void *context, const sockaddr *address, socklen_t length)
{
    auto &state = *static_cast<ShareServer::State *>(context);
    if (!address || address->sa_family != AF_INET || length < static_cast<socklen_t>(sizeof(sockaddr_in)))
        return MHD_NO;
    uint32_t host = ntohl(reinterpret_cast<const sockaddr_in *>(address)->sin_addr.s_addr);
    return ClientAllowed(state.settings, host) ? MHD_YES : MHD_NO;
}

} // namespace

ShareServer::ShareServer(ShareSettings settings, std::vector<ScannerEntry> scanners) : m_state(new State)
{
    m_state->settings = std::move(settings);
    m_state->scanners = std::move(scanners);
}

ShareServer::~ShareServer() { stop(); }

void ShareServer::setScanners(std::vector<ScannerEntry> scanners)
{
    // A job of a scanner that went keeps its own copy of the entry's scan;
    // it fails or expires as any other job does.
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->scanners = std::move(scanners);
}

bool ShareServer::start(std::string &error)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(m_state->settings.port));
    address.sin_addr.s_addr = htonl(m_state->settings.lan ? INADDR_ANY : INADDR_LOOPBACK);
    m_state->daemon = MHD_start_daemon(
        MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL,
        static_cast<uint16_t>(m_state->settings.port), acceptClient, m_state.get(), handle, m_state.get(),
        MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr *>(&address),
        MHD_OPTION_CONNECTION_LIMIT, kMaxConnections,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, kMaxConnectionsPerAddress,
        MHD_OPTION_CONNECTION_TIMEOUT, kIdleTimeoutSeconds,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory,
        MHD_OPTION_NOTIFY_COMPLETED, requestDone, m_state.get(),
        MHD_OPTION_END);
    if (!m_state->daemon) {
        error = "cannot listen on port " + std::to_string(m_state->settings.port);
        return false;
    }
    m_state->sweeper = std::thread([state = m_state.get()] { state->sweep(); });
    return true;
}

void ShareServer::stop()
{
    if (m_state->daemon) {
        MHD_stop_daemon(m_state->daemon);
        m_state->daemon = nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->stopped = true;
    }
    m_state->stopping.notify_all();
    if (m_state->sweeper.joinable())
        m_state->sweeper.join();
    std::vector<std::shared_ptr<Job>> running;
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        for (auto &[id, job] : m_state->jobs)
            if (!job->finished)
                running.push_back(job);
    }
    for (auto &job : running)
        m_state->endScan(job, true);
    m_state->jobs.clear();
}

} // namespace ruvo_share
