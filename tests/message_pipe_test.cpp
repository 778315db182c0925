// Runs the Windows program with its standard input on a named pipe in message
// mode, as a Windows program that starts it may hand it the name: a one-byte
// read of a longer message fails with ERROR_MORE_DATA, and yet delivers the
// byte, and the rest of the message stays for the next read.
//
// Usage: message_pipe_tests PROGRAM
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "dialogue.h"
#include "temp_dir.h"
#include "test_names.h"

namespace {

namespace fs = std::filesystem;

std::string program;  // the program's path, as Windows names it

struct Row {
  const char* name;
  std::vector<std::string> messages;  // written into the pipe before the program starts
  bool closed = false;                // the pipe's writer goes once they are written
  Ending ending = found;              // what the name typed leads to
};

// "x" holds a non-zero byte, "zeros" none.
const Row rows[] = {
    {.name = "NameAndNewlineInOneMessage", .messages = {"x\n"}},
    {.name = "NameThenNewlineInTwoMessages", .messages = {"x", "\n"}},
    // Only the first line is the name, though the message goes on.
    {.name = "TwoLinesInOneMessage", .messages = {"x\nzeros\n"}},
    // An empty message is no end of the input: that is the writer's close.
    {.name = "EmptyMessageBeforeTheName", .messages = {"", "x\n"}},
    {.name = "NameWithoutNewlineEndsWhereTheWriterGoes", .messages = {"", "x"}, .closed = true},
    {.name = "LongerNameInOneMessage", .messages = {"zeros\n"}, .ending = zeros_only},
};

using row_printing::PrintTo;

struct Handle {
  HANDLE h = INVALID_HANDLE_VALUE;
  Handle() = default;
  explicit Handle(HANDLE handle) : h(handle) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { close(); }
  void close() {
    if (h != INVALID_HANDLE_VALUE && h != nullptr) ::CloseHandle(h);
    h = INVALID_HANDLE_VALUE;
  }
  bool ok() const { return h != INVALID_HANDLE_VALUE && h != nullptr; }
};

class MessagePipe : public testing::TestWithParam<Row> {
 protected:
  TempDir dir_{"message-pipe"};
};

TEST_P(MessagePipe, NameIsTheFirstLineOfTheMessages) {
  const Row& row = GetParam();
  const fs::path run_dir = dir_.path() / "run";
  fs::create_directory(run_dir);
  std::ofstream(run_dir / "x", std::ios::binary) << '\x05';
  std::ofstream(run_dir / "zeros", std::ios::binary) << std::string(10, '\0');

  static int serial = 0;
  const std::string pipe_name = "\\\\.\\pipe\\content_check-test-" +
                                std::to_string(::GetCurrentProcessId()) + "-" +
                                std::to_string(++serial);
  Handle server(::CreateNamedPipeA(pipe_name.c_str(), PIPE_ACCESS_OUTBOUND,
                                   PIPE_TYPE_MESSAGE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr));
  ASSERT_TRUE(server.ok()) << "CreateNamedPipe: " << ::GetLastError();
  SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  Handle client(::CreateFileA(pipe_name.c_str(), GENERIC_READ | FILE_WRITE_ATTRIBUTES, 0,
                              &inherited, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(client.ok()) << "CreateFile: " << ::GetLastError();
  DWORD mode = PIPE_READMODE_MESSAGE;
  ASSERT_TRUE(::SetNamedPipeHandleState(client.h, &mode, nullptr, nullptr)) << ::GetLastError();
  for (const std::string& message : row.messages) {
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(server.h, message.data(), static_cast<DWORD>(message.size()), &written,
                            nullptr));
    ASSERT_EQ(written, message.size());
  }
  if (row.closed) server.close();

  // Standard output and error into files beside the program's directory.
  const fs::path out_path = dir_.path() / "stdout", err_path = dir_.path() / "stderr";
  Handle out(::CreateFileW(out_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherited,
                           CREATE_ALWAYS, 0, nullptr));
  Handle err(::CreateFileW(err_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherited,
                           CREATE_ALWAYS, 0, nullptr));
  ASSERT_TRUE(out.ok() && err.ok());

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = client.h;
  startup.hStdOutput = out.h;
  startup.hStdError = err.h;
  std::string command = "\"" + program + "\"";
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(::CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                               run_dir.string().c_str(), &startup, &process))
      << "CreateProcess " << program << ": " << ::GetLastError();
  const Handle process_handle(process.hProcess), thread_handle(process.hThread);
  client.close();
  out.close();
  err.close();
  ASSERT_EQ(::WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0)
      << "the program did not end within its time";
  DWORD status = 0;
  ASSERT_TRUE(::GetExitCodeProcess(process.hProcess, &status));

  EXPECT_EQ(read_all(out_path), dialogue(row.ending, "\r\n"));
  EXPECT_EQ(read_all(err_path), "");
  EXPECT_EQ(status, static_cast<DWORD>(row.ending.status));
  const fs::path result = run_dir / "test.fzz";
  if (row.ending.verdict == no_verdict) {
    EXPECT_FALSE(fs::exists(result));
  } else {
    EXPECT_EQ(read_all(result), std::string(1, static_cast<char>(row.ending.verdict)));
  }
}

INSTANTIATE_TEST_SUITE_P(Table, MessagePipe, testing::ValuesIn(rows),
                         [](const testing::TestParamInfo<Row>& row) { return row.param.name; });

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: message_pipe_tests PROGRAM\n");
    return 2;
  }
  // Made whole now: the program starts in another directory. Under Wine a
  // path from the build system is a Unix one, which this makes a drive's.
  program = fs::absolute(argv[1]).string();
  return RUN_ALL_TESTS();
}
