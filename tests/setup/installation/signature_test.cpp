#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "failure.h"
#include "installation/signature.h"
#include "installation/signature_gate.h"
#include "test_files.h"

namespace {

// Signed and tampered copies of a test program are made by the build (tests/CMakeLists.txt).
TEST(VerifySignature, ValidUnsignedAndTamperedFiles) {
  std::wstring error = L"stale";
  EXPECT_TRUE(verifySignature(siblingProgram(L"signed_marker.exe"), nullptr, error));
  EXPECT_EQ(error, L"");

  error.clear();
  EXPECT_FALSE(verifySignature(siblingProgram(L"marker_setup.exe"), nullptr, error));
  EXPECT_FALSE(error.empty());  // the system's text for "no signature"

  error.clear();
  EXPECT_FALSE(verifySignature(siblingProgram(L"tampered_marker.exe"), nullptr, error));
  // The system has no text for a bad digest: the status itself is reported.
  EXPECT_NE(error.find(L"0x80096010"), std::wstring::npos) << testing::PrintToString(error);

  error.clear();
  EXPECT_FALSE(verifySignature(L"C:\\no\\such\\file.exe", nullptr, error));
  EXPECT_FALSE(error.empty());

  // Given a handle, the check reads the held file, whatever the path names.
  const HANDLE signedFile = CreateFileW(siblingProgram(L"signed_marker.exe").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                        nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(signedFile, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(verifySignature(siblingProgram(L"marker_setup.exe"), signedFile, error));
  CloseHandle(signedFile);
}

// A window that answers every question with one answer and counts them.
struct AnsweringWindow final : InstallationWindow {
  explicit AnsweringWindow(int answer) : answer(answer) {}
  int ask(unsigned, unsigned) override { return ++asked, answer; }
  void hide() override {}
  int answer, asked = 0;
};

// A valid signature never asks; a failed one asks, and the answer decides. When the question
// cannot be shown, the gate raises the verification's text.
TEST(SignatureGate, TheAnswerDecidesAndAQuestionThatCannotBeShownRaisesTheVerificationText) {
  const struct {
    const char* what;
    const wchar_t* program;
    int answer;
    bool closed;
    Gate gate;
    int asked;
    bool checksLeft;
  } cases[] = {
      {"valid", L"signed_marker.exe", IDNO, false, Gate::passed, 0, true},
      {"Yes", L"tampered_marker.exe", IDYES, false, Gate::passed, 1, false},
      {"No", L"tampered_marker.exe", IDNO, false, Gate::declined, 1, true},
      {"closed", L"tampered_marker.exe", IDYES, true, Gate::declined, 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    AnsweringWindow window(c.answer);
    const std::atomic<bool> cancel{c.closed};
    bool checkSignatures = true;
    EXPECT_EQ(passSignatureGate(siblingProgram(c.program), {&window, cancel}, checkSignatures), c.gate);
    EXPECT_EQ(window.asked, c.asked);
    EXPECT_EQ(checkSignatures, c.checksLeft);
  }
  const std::atomic<bool> running{false};
  bool checkSignatures = true;
  AnsweringWindow unable(0);  // MessageBoxW's answer when no box can be shown
  for (InstallationWindow* window : {static_cast<InstallationWindow*>(nullptr), static_cast<InstallationWindow*>(&unable)}) {
    try {
      (void)passSignatureGate(siblingProgram(L"tampered_marker.exe"), {window, running}, checkSignatures);
      ADD_FAILURE() << "no error raised";
    } catch (const Failure& e) {
      EXPECT_NE(std::string(e.what()).find("0x80096010"), std::string::npos) << e.what();
    }
  }
  EXPECT_TRUE(checkSignatures);
}

}  // namespace
