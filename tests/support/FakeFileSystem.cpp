#include "support/FakeFileSystem.h"

#include "platform/Thread.h"

#include <fstream>

using Platform::CFileBeneath;
using Platform::IFileBeneath;

// Forwards to a real entry for its content, but answers the probe, and fails, as the test said.
class CFakeFile : public IFileBeneath {
  public:
    explicit CFakeFile(CFakeFileSystem& files) : m_files(files) {}
    ~CFakeFile() override { ReleaseHeld(); }

    Resolution Resolve(const std::string& strRoot, const std::string& strRelative) override {
        ReleaseHeld();
        m_strPath = strRoot + "/" + strRelative;
        Resolution resolution = m_real.Resolve(strRoot, strRelative);
        std::lock_guard<std::mutex> guard(m_files.m_mutex);
        auto failure = m_files.m_resolveErrors.find(GetName());
        if (failure == m_files.m_resolveErrors.end())
            return resolution;
        Platform::SetLastError(failure->second);
        return Resolution::Failed;
    }
    const std::string& GetName() const override { return m_real.GetName(); }
    Platform::FileKind GetKind() const override { return m_real.GetKind(); }
    bool GetVersion(Platform::CFileVersion& version) const override { return m_real.GetVersion(version); }

    Platform::CProbeResult ProbeExclusiveOpen() const override {
        Platform::CProbeResult result;
        Platform::FileKind kind = m_real.GetKind();
        if (kind == Platform::FileKind::Missing || !m_real.GetVersion(result.version))
            return result;
        if (kind != Platform::FileKind::Regular) {
            result.state = Platform::OpenState::NotRegular;
            return result;
        }
        std::lock_guard<std::mutex> guard(m_files.m_mutex);
        // Any hold counts, this object's own too: the kernel grants no lease beside another open file.
        bool bBusy = m_files.m_busy.count(GetName()) != 0 || m_files.m_held.count(m_strPath) != 0;
        result.state = bBusy ? Platform::OpenState::Busy : Platform::OpenState::Free;
        if (m_files.m_bRefuseLeases) {
            result.test = Platform::WriteCompleteTest::OpenFileSearch;
            result.nError = m_files.m_nLeaseError;
        }
        return result;
    }

    bool OpenHeld() override {
        AppendPendingChange();
        if (!m_real.OpenHeld())
            return false;
        if (!m_bHeld) {
            std::lock_guard<std::mutex> guard(m_files.m_mutex);
            m_files.m_held.insert(m_strPath);
            m_bHeld = true;
        }
        return true;
    }
    bool IsHeld() const override { return m_real.IsHeld(); }
    void ReleaseHeld() override {
        m_real.ReleaseHeld();
        if (!m_bHeld)
            return;
        std::lock_guard<std::mutex> guard(m_files.m_mutex);
        m_files.m_held.erase(m_files.m_held.find(m_strPath));
        m_bHeld = false;
    }
    Platform::CFileVersion GetHeldVersion() const override { return m_real.GetHeldVersion(); }
    bool HasHeldFileChanged() const override { return m_real.HasHeldFileChanged(); }
    Platform::OwnerLookup GetHeldOwner(std::string& strOwner, std::string& strDomain) const override {
        return m_real.GetHeldOwner(strOwner, strDomain);
    }
    bool ReadHeld(std::string& strContent, size_t nMaxBytes) const override {
        return m_real.ReadHeld(strContent, nMaxBytes);
    }
    bool CopyHeldTo(IFileBeneath& destination) const override {
        std::function<void()> afterCopy;
        {
            std::lock_guard<std::mutex> guard(m_files.m_mutex);
            auto action = m_files.m_afterCopy.find(GetName());
            if (action != m_files.m_afterCopy.end()) {
                afterCopy = std::move(action->second);
                m_files.m_afterCopy.erase(action);
            }
        }
        auto* pFake = dynamic_cast<CFakeFile*>(&destination);
        bool bCopied = m_real.CopyHeldTo(pFake != nullptr ? pFake->m_real : destination);
        if (afterCopy)
            afterCopy();
        return bCopied;
    }
    Platform::RemoveResult Remove() override { return m_real.Remove(); }
    bool MoveToFreeName(std::string& strNewRelative) override {
        return m_real.MoveToFreeName(strNewRelative);
    }

  private:
    CFakeFileSystem& m_files;
    CFileBeneath m_real;
    std::string m_strPath;
    bool m_bHeld = false;

    void AppendPendingChange() {
        std::string strText;
        {
            std::lock_guard<std::mutex> guard(m_files.m_mutex);
            auto change = m_files.m_changes.find(GetName());
            if (change == m_files.m_changes.end())
                return;
            strText = change->second;
            m_files.m_changes.erase(change);
        }
        std::ofstream(m_strPath, std::ios::app) << strText;
    }
};

std::unique_ptr<IFileBeneath> CFakeFileSystem::NewFile() {
    return std::make_unique<CFakeFile>(*this);
}

void CFakeFileSystem::StayBusy(const std::string& strName) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_busy.insert(strName);
}

void CFakeFileSystem::LetGo(const std::string& strName) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_busy.erase(strName);
}

void CFakeFileSystem::ChangeWhenHeld(const std::string& strName, const std::string& strText) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_changes[strName] = strText;
}

void CFakeFileSystem::RefuseWriteLeases(int nError) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_bRefuseLeases = true;
    m_nLeaseError = nError;
}

void CFakeFileSystem::FailResolve(const std::string& strName, int nError) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_resolveErrors[strName] = nError;
}

void CFakeFileSystem::AfterCopy(const std::string& strName, std::function<void()> action) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_afterCopy[strName] = std::move(action);
}
