// The base of the tests that run a real shell (bash, zsh, dash, mksh, ksh93, fish) in a pseudo
// terminal: one shell per parameter, a screen that collects what it sends, closed afterwards.
// A shell that is not installed skips, which fails under CI=true and in ./test.sh.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "Kv.Platform.Pty.h"
#include "Kv.Shell.Local.h"
#include "KvShellScreen.h"

namespace kv::test {

class TRealShellTest : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        if (!IsExecutableFile(GetParam()))
            GTEST_SKIP() << GetParam() << " is not installed";
    }
    void TearDown() override {
        if (FShell)
            FShell->Close();
    }
    std::string Name() const { return std::filesystem::path(GetParam()).filename().string(); }

    std::shared_ptr<TKvLocalShell> FShell;
    TShellScreen FScreen;
};

} // namespace kv::test
