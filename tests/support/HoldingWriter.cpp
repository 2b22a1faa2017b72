#include "support/HoldingWriter.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

struct CHoldingWriter::CImpl {
    int nProcess = -1;
    int nRelease = -1;
};

CHoldingWriter::CHoldingWriter(const std::string& strPath, const std::string& strTail)
    : m_pImpl(std::make_unique<CImpl>()) {
    int ready[2];
    int release[2];
    if (::pipe(ready) != 0 || ::pipe(release) != 0)
        return;
    m_pImpl->nProcess = ::fork();
    if (m_pImpl->nProcess == 0) {
        ::close(ready[0]);
        ::close(release[1]);
        int nFile = ::open(strPath.c_str(), O_WRONLY | O_APPEND);
        char c = nFile >= 0 ? '1' : '0';
        (void)!::write(ready[1], &c, 1);
        (void)!::read(release[0], &c, 1);
        (void)!::write(nFile, strTail.data(), strTail.size());
        ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    char c = '0';
    m_bHolding = ::read(ready[0], &c, 1) == 1 && c == '1';
    ::close(ready[0]);
    m_pImpl->nRelease = release[1];
}

CHoldingWriter::~CHoldingWriter() {
    Release();
}

void CHoldingWriter::Release() {
    if (m_pImpl->nRelease >= 0)
        ::close(m_pImpl->nRelease);
    m_pImpl->nRelease = -1;
    if (m_pImpl->nProcess > 0)
        ::waitpid(m_pImpl->nProcess, nullptr, 0);
    m_pImpl->nProcess = -1;
}
