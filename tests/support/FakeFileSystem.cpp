#include "support/FakeFileSystem.h"

#include <fstream>

using Platform::CFileBeneath;
using Platform::IFileBeneath;

// Forwards to a real entry, but for what the file system was told about the entry's name.
class CFakeFile : public IFileBeneath {
  public:
    explicit CFakeFile(CFakeFileSystem& files) : m_files(files) {}

    Resolution Resolve(const std::string& strRoot, const std::string& strRelative) override {
        m_strPath = strRoot + "/" + strRelative;
        return m_real.Resolve(strRoot, strRelative);
    }
    const std::string& GetName() const override { return m_real.GetName(); }
    Platform::FileKind GetKind() const override { return m_real.GetKind(); }
    bool GetVersion(Platform::CFileVersion& version) const override { return m_real.GetVersion(version); }
    Platform::CProbeResult ProbeExclusiveOpen() const override {
        Platform::CProbeResult result = m_real.ProbeExclusiveOpen();
        std::lock_guard<std::mutex> guard(m_files.m_mutex);
        if (result.state == Platform::OpenState::Free && m_files.m_busy.count(GetName()) != 0)
            result.state = Platform::OpenState::Busy;
        if (m_files.m_bRefuseLeases && result.state == Platform::OpenState::Free) {
            result.test = Platform::WriteCompleteTest::OpenFileSearch;
            result.nError = m_files.m_nLeaseError;
        }
        return result;
    }
    bool OpenHeld() override {
        std::string strText;
        {
            std::lock_guard<std::mutex> guard(m_files.m_mutex);
            auto change = m_files.m_changes.find(GetName());
            if (change != m_files.m_changes.end()) {
                strText = change->second;
                m_files.m_changes.erase(change);
            }
        }
        if (!strText.empty())
            std::ofstream(m_strPath, std::ios::app) << strText;
        return m_real.OpenHeld();
    }
    bool IsHeld() const override { return m_real.IsHeld(); }
    void ReleaseHeld() override { m_real.ReleaseHeld(); }
    Platform::CFileVersion GetHeldVersion() const override { return m_real.GetHeldVersion(); }
    bool HasHeldFileChanged() const override { return m_real.HasHeldFileChanged(); }
    Platform::OwnerLookup GetHeldOwner(std::string& strOwner, std::string& strDomain) const override {
        return m_real.GetHeldOwner(strOwner, strDomain);
    }
    bool ReadHeld(std::string& strContent, size_t nMaxBytes) const override {
        return m_real.ReadHeld(strContent, nMaxBytes);
    }
    bool CopyHeldTo(IFileBeneath& destination) const override {
        auto* pFake = dynamic_cast<CFakeFile*>(&destination);
        return m_real.CopyHeldTo(pFake != nullptr ? pFake->m_real : destination);
    }
    Platform::RemoveResult Remove() override { return m_real.Remove(); }
    bool MoveToFreeName(std::string& strNewRelative) override {
        return m_real.MoveToFreeName(strNewRelative);
    }

  private:
    CFakeFileSystem& m_files;
    CFileBeneath m_real;
    std::string m_strPath;
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
