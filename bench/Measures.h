#pragma once

// What every benchmark measures its sides with: figures on stdout, details on stderr, timed
// shell commands with the processor time they cost, and the state of the machine.

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <limits>

namespace pixavella::bench {

// A line of the details, on stderr.
void detail(const QString& text);
// `name = value` on stdout, at once (a benchmark that hangs later has printed what it had);
// a figure that could not be measured is printed as nan.
void figure(const char* name, double value, int decimals = 3);
// `load_average = x`: the machine's one-minute load average, printed beside the figures.
void printLoadAverage();

struct Timed {
    double wall;      // seconds; infinity when the command failed
    double processor; // user and system seconds of the command and of `alsoCounted`
};
// `sh -c command sh arguments…`, timed; `alsoCounted` is a running process (a daemon serving the
// command) whose processor time counts with the command's own.
Timed timeShell(const QString& command, const QStringList& arguments = {}, qint64 alsoCounted = 0,
                int timeoutMs = 900'000);

struct Best {
    double wall = std::numeric_limits<double>::infinity();
    double processor = std::numeric_limits<double>::infinity();
};
// Each side measured once a round, `rounds` times, the sides taken in turn and their order
// reversed from one round to the next, so that a change of the machine's load or memory weighs
// on all alike; each side's best wall and processor time (of the rounds that did not fail).
QList<Best> bestInTurn(int rounds, const QList<std::function<Timed(int round)>>& sides);

// User and system seconds a running process has used; 0 when /proc does not say.
double processorSeconds(qint64 pid);
// VmRSS of a process (0: this one) in bytes; 0 when it cannot be read.
qint64 residentBytes(qint64 pid = 0);

// Writes dirty pages back and, where the benchmark runs as root, drops the page cache, so that
// the next copy writes into memory in the state the one before it found; false when it could
// not be dropped.
bool dropPageCache();
// False on ext4 without a journal, which makes a new inode only after it has skipped each inode
// of its group freed in the last five minutes; true on any other file system.
bool reusesFreedInodesAtOnce(const QString& path);
// Reads every file of `folder` once, so that a copy reads its source from the page cache.
void readFolder(const QString& folder);

} // namespace pixavella::bench
