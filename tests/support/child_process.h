#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kestro_test {

// A helper program (mosquitto_sub, mosquitto_pub, ...) run as a child with
// its standard output captured through a pipe. Stopped by its PID.
class ChildProcess
{
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // argv[0] is the program path. stderrPath, when not empty, receives the
    // child's standard error; otherwise it goes to /dev/null. With pipeStdin
    // the child reads what writeStdin() sends, else it reads /dev/null.
    bool start(const std::vector<std::string>& argv, const std::string& stderrPath = {}, bool pipeStdin = false);
    bool writeStdin(const std::string& text);
    void closeStdin();
    bool isRunning();
    pid_t pid() const { return m_pid; }
    // The read end of the child's standard output (non-blocking), for callers
    // that stream large outputs themselves instead of using output().
    int stdoutFd() const { return m_stdout; }

    // Appends whatever the child wrote so far to output() without blocking.
    void readAvailable();
    const std::string& output() const { return m_output; }
    // Reads until output() contains text or the timeout passes.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout);

    // Sends signal and reaps the child; returns its wait status.
    int stop(int signal);
    // Waits up to timeout for the child to exit; -1 when it did not.
    int waitExit(std::chrono::milliseconds timeout);

private:
    pid_t m_pid = -1;
    int m_stdout = -1;
    int m_stdin = -1;
    int m_status = -1;
    std::string m_output;
};

// Runs a program to its end (at most timeout); returns its exit code, or -1.
int runProgram(const std::vector<std::string>& argv, std::chrono::milliseconds timeout = std::chrono::seconds(20));

} // namespace kestro_test
