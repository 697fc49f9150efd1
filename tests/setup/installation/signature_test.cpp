#include <gtest/gtest.h>

#include <stdexcept>

#include "failure.h"
#include "installer.h"
#include "installation/signature.h"
#include "test_files.h"

namespace {

// Signed and tampered copies of a test program are made by the build (tests/CMakeLists.txt).
TEST(VerifySignature, ValidUnsignedAndTamperedFiles) {
  std::wstring error = L"stale";
  EXPECT_TRUE(verifySignature(siblingProgram(L"signed_marker.exe"), error));
  EXPECT_EQ(error, L"");

  error.clear();
  EXPECT_FALSE(verifySignature(siblingProgram(L"marker_setup.exe"), error));
  EXPECT_FALSE(error.empty());  // the system's text for "no signature"

  error.clear();
  EXPECT_FALSE(verifySignature(siblingProgram(L"tampered_marker.exe"), error));
  // The system has no text for a bad digest: the status itself is reported.
  EXPECT_NE(error.find(L"0x80096010"), std::wstring::npos) << testing::PrintToString(error);
}

TEST(VerifySignature, MissingFileFails) {
  std::wstring error;
  EXPECT_FALSE(verifySignature(L"C:\\no\\such\\file.exe", error));
  EXPECT_FALSE(error.empty());
}

// When the question cannot be shown, the gate raises the verification's text.
TEST(SignatureGate, QuestionThatCannotBeShownRaisesTheVerificationText) {
  TestFolder temp;
  const std::wstring image = imageWithResources(temp.path(), {{1, "1"}});
  HMODULE module = LoadLibraryExW(image.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr);
  {
    // A window handle that names no window: no box can be owned by it.
    Installer installer(reinterpret_cast<HWND>(static_cast<INT_PTR>(0x7ffe)), module, temp.path());
    try {
      (void)installer.signatureGate(siblingProgram(L"tampered_marker.exe"));
      ADD_FAILURE() << "no error raised";
    } catch (const Failure& e) {
      EXPECT_NE(std::string(e.what()).find("0x80096010"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(installer.checkSignatures);
    // A valid signature never asks.
    EXPECT_EQ(installer.signatureGate(siblingProgram(L"signed_marker.exe")), Installer::Gate::passed);
  }
  FreeLibrary(module);
}

}  // namespace
