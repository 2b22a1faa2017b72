// Folder watching figures: wake-ups and memory of an idle manager watching 50 folders; what 1000
// hot folders cost (descriptors, kernel change queues, threads, memory, start and stop); and whether
// a burst of 10,000 files created within a second all reach the pool.
#include "Include/LogFile.h"
#include "monitor/ServiceManager.h"
#include "platform/Environment.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// Context switches of every thread but the calling one: each is a wake-up of an agent thread.
long OtherThreadsContextSwitches() {
    long nTotal = 0;
    std::string strSelf = std::to_string(::gettid());
    for (const auto& task : fs::directory_iterator("/proc/self/task")) {
        if (task.path().filename() == strSelf)
            continue;
        std::ifstream status(task.path() / "status");
        for (std::string strLine; std::getline(status, strLine);)
            if (strLine.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                strLine.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                nTotal += std::atol(strLine.substr(strLine.find(':') + 1).c_str());
    }
    return nTotal;
}

long ResidentKilobytes() {
    std::ifstream status("/proc/self/status");
    for (std::string strLine; std::getline(status, strLine);)
        if (strLine.rfind("VmRSS:", 0) == 0)
            return std::atol(strLine.substr(6).c_str());
    return -1;
}

int DescriptorCount(int* pInotify) {
    int nCount = 0;
    *pInotify = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        ++nCount;
        std::error_code error;
        if (fs::read_symlink(entry.path(), error).string() == "anon_inode:inotify")
            ++*pInotify;
    }
    return nCount;
}

int ThreadCount() {
    return static_cast<int>(std::distance(fs::directory_iterator("/proc/self/task"), {}));
}

std::string WriteSettings(const fs::path& root, int nFolders) {
    std::ostringstream ini;
    ini << "[configuration]\nhotfoldercount=" << nFolders << "\n";
    for (int i = 1; i <= nFolders; ++i) {
        fs::create_directories(root / ("hot" + std::to_string(i)));
        ini << "[hotfolder_" << i << "]\nsource=" << (root / ("hot" + std::to_string(i))).string()
            << "\ndestination=" << (root / "dst").string() << "\n";
    }
    std::string strPath = (root / "KlendoHotFolderAgent.ini").string();
    std::ofstream(strPath) << ini.str();
    return strPath;
}

void IdleFigures(const fs::path& root) {
    CServiceManager manager(Platform::RealEnvironment());
    manager.SetSettingsPath(WriteSettings(root / "idle", 50));
    manager.Initalize();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    long nBefore = OtherThreadsContextSwitches();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    long nWakeUps = OtherThreadsContextSwitches() - nBefore;
    std::printf("%-46s %12ld\n", "idle: wake-ups of 51 agent threads in 10 s", nWakeUps);
    std::printf("%-46s %12d\n", "idle: threads", ThreadCount());
    std::printf("%-46s %9.1f MB\n", "idle: resident memory", ResidentKilobytes() / 1024.0);
    manager.uninit();
}

void ScaleFigures(const fs::path& root, int nFolders) {
    int nInotify = 0;
    int nDescriptorsBefore = DescriptorCount(&nInotify);
    long nMemoryBefore = ResidentKilobytes();
    CServiceManager manager(Platform::RealEnvironment());
    manager.SetSettingsPath((root / "none.ini").string());
    manager.Initalize();
    auto start = Clock::now();
    for (int i = 0; i < nFolders; ++i) {
        CHotFolderInfo folder;
        folder.source = (root / "scale" / ("hot" + std::to_string(i))).string();
        fs::create_directories(folder.source);
        manager.MonitorFolder(folder);
    }
    double dStart = std::chrono::duration<double>(Clock::now() - start).count();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    int nDescriptors = DescriptorCount(&nInotify) - nDescriptorsBefore;
    long nBefore = OtherThreadsContextSwitches();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    long nWakeUps = OtherThreadsContextSwitches() - nBefore;
    std::printf("%-46s %12zu in %.3f s\n", "scale: hot folders watched", manager.GetMonitorCount(), dStart);
    std::printf("%-46s %12d\n", "scale: descriptors added", nDescriptors);
    std::printf("%-46s %12d\n", "scale: kernel change queues", nInotify);
    std::printf("%-46s %12d\n", "scale: threads", ThreadCount());
    std::printf("%-46s %9.1f MB\n", "scale: resident memory added",
                (ResidentKilobytes() - nMemoryBefore) / 1024.0);
    std::printf("%-46s %12ld\n", "scale: wake-ups of agent threads in 10 s idle", nWakeUps);
    start = Clock::now();
    manager.uninit();
    std::printf("%-46s %12.3f s\n", "scale: stop",
                std::chrono::duration<double>(Clock::now() - start).count());
}

void BurstFigures(const fs::path& root, int nFiles) {
    std::mutex mutex;
    std::set<std::string> seen;
    std::atomic<size_t> nRequests{0};
    CServiceManager manager(Platform::RealEnvironment());
    manager.SetSettingsPath(WriteSettings(root / "burst", 1));
    manager.GetThreadPool().SetRequestProcessor([&](std::unique_ptr<CFileRequest> pRequest) {
        std::lock_guard<std::mutex> guard(mutex);
        seen.insert(pRequest->filename);
        ++nRequests;
    });
    manager.Initalize();
    fs::path hot = root / "burst" / "hot1";
    auto start = Clock::now();
    for (int i = 0; i < nFiles; ++i) {
        int fd =
            ::open((hot / ("f" + std::to_string(i) + ".prn")).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        (void)!::write(fd, "x", 1);
        ::close(fd);
    }
    double dCreate = std::chrono::duration<double>(Clock::now() - start).count();
    size_t nSeen = 0;
    while (Clock::now() - start < std::chrono::seconds(60)) {
        {
            std::lock_guard<std::mutex> guard(mutex);
            nSeen = seen.size();
        }
        if (nSeen >= static_cast<size_t>(nFiles))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    double dAll = std::chrono::duration<double>(Clock::now() - start).count();
    manager.uninit();
    manager.GetThreadPool().WaitForRequestThreads(std::chrono::seconds(30));
    std::printf("%-46s %12d in %.3f s\n", "burst: files created", nFiles, dCreate);
    std::printf("%-46s %12zu in %.3f s\n", "burst: distinct files that reached the pool", nSeen, dAll);
    std::printf("%-46s %12zu\n", "burst: requests (with removals, rescans)", nRequests.load());
    std::printf("%-46s %12zu\n", "burst: files lost", static_cast<size_t>(nFiles) - nSeen);
}

} // namespace

int main() {
    char szTemplate[] = "/tmp/klendo-bench-XXXXXX";
    fs::path root = ::mkdtemp(szTemplate);
    IdleFigures(root);
    ScaleFigures(root, 1000);
    BurstFigures(root, 10000);
    fs::remove_all(root);
    return 0;
}
