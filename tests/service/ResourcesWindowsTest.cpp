#include <gtest/gtest.h>

#include <windows.h>

#include <oleauto.h>

#include <string>

// What the system reads out of the agent's executable without running it: the event viewer the
// message table, COM the type library, and tools the registration script.

namespace {

std::wstring AgentPath() {
    std::string strPath = KLENDO_AGENT_PATH;
    return std::wstring(strPath.begin(), strPath.end());
}

// The executable mapped as data, as the event viewer maps a message file.
class CAgentImage {
  public:
    CAgentImage() : m_hModule(::LoadLibraryExW(AgentPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)) {}
    ~CAgentImage() {
        if (m_hModule != nullptr)
            ::FreeLibrary(m_hModule);
    }
    CAgentImage(const CAgentImage&) = delete;
    CAgentImage& operator=(const CAgentImage&) = delete;

    HMODULE Get() const { return m_hModule; }

  private:
    HMODULE m_hModule;
};

std::wstring FromBstr(BSTR bstrText) {
    std::wstring wstrText = bstrText != nullptr ? std::wstring(bstrText, ::SysStringLen(bstrText)) : L"";
    ::SysFreeString(bstrText);
    return wstrText;
}

} // namespace

TEST(AgentResources, EventTextIsShownWholeThroughTheMessageTable) {
    CAgentImage image;
    ASSERT_NE(image.Get(), nullptr) << ::GetLastError();
    for (const wchar_t* wszText : {L"Service started", L"Bad service request"}) {
        DWORD_PTR aArguments[] = {reinterpret_cast<DWORD_PTR>(wszText)};
        wchar_t wszBuffer[256] = {};
        DWORD nLength =
            ::FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, image.Get(), 0, 0,
                             wszBuffer, 256, reinterpret_cast<va_list*>(aArguments));
        ASSERT_NE(nLength, 0u) << ::GetLastError();
        EXPECT_EQ(std::wstring(wszBuffer, nLength), std::wstring(wszText) + L"\r\n");
    }
}

TEST(AgentResources, TypeLibraryNamesTheAgentAndDescribesNoType) {
    ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    ITypeLib* pLibrary = nullptr;
    ASSERT_EQ(::LoadTypeLibEx(AgentPath().c_str(), REGKIND_NONE, &pLibrary), S_OK);
    TLIBATTR* pAttributes = nullptr;
    ASSERT_EQ(pLibrary->GetLibAttr(&pAttributes), S_OK);
    wchar_t wszId[40] = {};
    ::StringFromGUID2(pAttributes->guid, wszId, 40);
    EXPECT_EQ(std::wstring(wszId), L"{3F7B9D21-6C4E-4A85-B1D2-8E9F0A3C5D67}");
    EXPECT_EQ(pAttributes->wMajorVerNum, 1);
    EXPECT_EQ(pAttributes->wMinorVerNum, 0);
    EXPECT_EQ(pAttributes->lcid, 0x409u);
    pLibrary->ReleaseTLibAttr(pAttributes);
    BSTR bstrName = nullptr;
    BSTR bstrHelp = nullptr;
    ASSERT_EQ(pLibrary->GetDocumentation(-1, &bstrName, &bstrHelp, nullptr, nullptr), S_OK);
    EXPECT_EQ(FromBstr(bstrName), L"KLENDOHOTFOLDERAGENTLib");
    EXPECT_EQ(FromBstr(bstrHelp), L"KlendoHotFolderAgent 1.0 Type Library");
    EXPECT_EQ(pLibrary->GetTypeInfoCount(), 0u);
    pLibrary->Release();
    ::CoUninitialize();
}

TEST(AgentResources, RegistrationScriptNamesBothAppIdKeys) {
    CAgentImage image;
    ASSERT_NE(image.Get(), nullptr);
    HRSRC hResource = ::FindResourceW(image.Get(), MAKEINTRESOURCEW(100), L"REGISTRY");
    ASSERT_NE(hResource, nullptr);
    const char* pScript = static_cast<const char*>(::LockResource(::LoadResource(image.Get(), hResource)));
    std::string strScript(pScript, ::SizeofResource(image.Get(), hResource));
    EXPECT_NE(strScript.find("'%APPID%' = s 'KlendoHotFolderAgent'"), std::string::npos) << strScript;
    EXPECT_NE(strScript.find("'KlendoHotFolderAgent.EXE'"), std::string::npos) << strScript;
    EXPECT_NE(strScript.find("NoRemove AppID"), std::string::npos) << strScript;
}
