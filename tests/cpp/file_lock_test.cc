#include "base/platform.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include "temp_directory.h"

extern char** environ;

namespace psfstore {
namespace {

using environment::FileLock;
using test_support::TempDirectory;

TEST(FileLockTest, OneHolderPerFileInsideOneProcessAndReleasedOnUnlockMoveAndDestruction) {
  TempDirectory directory{"/tmp"};
  const std::string path = directory.path() + "/LOCK";
  FileLock first;
  ASSERT_TRUE(first.TryLock(path));
  {
    FileLock second;
    EXPECT_FALSE(second.TryLock(path));
    EXPECT_FALSE(second.held());
  }
  // The failed attempt must not have released the holder's lock.
  FileLock third;
  EXPECT_FALSE(third.TryLock(path));

  FileLock moved{std::move(first)};
  EXPECT_FALSE(first.held());
  first.Unlock();  // a moved-from lock owns nothing and must not release the holder's
  EXPECT_FALSE(third.TryLock(path));
  moved.Unlock();
  EXPECT_TRUE(third.TryLock(path));

  FileLock assigned;
  assigned = std::move(third);
  EXPECT_FALSE(FileLock{}.TryLock(path));
  assigned = FileLock{};  // assigning over a held lock releases it
  { FileLock scoped; EXPECT_TRUE(scoped.TryLock(path)); }
  EXPECT_TRUE(FileLock{}.TryLock(path));

  FileLock missing;
  EXPECT_THROW(missing.TryLock(directory.path() + "/no/such/dir/LOCK"), std::runtime_error);
}

TEST(FileLockTest, HeldAcrossProcessesReleasedWhenTheHolderDiesAndNotInheritedByPrograms) {
  TempDirectory directory{"/tmp"};
  const std::string path = directory.path() + "/LOCK";

  // A child process holds the lock until told to exit.
  int ready[2], release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    FileLock lock;
    char byte = lock.TryLock(path) ? 'y' : 'n';
    if (write(ready[1], &byte, 1) != 1) _exit(2);
    if (read(release[0], &byte, 1) < 0) _exit(3);
    _exit(0);  // dies without unlocking: the kernel must release it
  }
  char answer = 0;
  ASSERT_EQ(read(ready[0], &answer, 1), 1);
  ASSERT_EQ(answer, 'y');
  FileLock parent;
  EXPECT_FALSE(parent.TryLock(path));
  ASSERT_EQ(write(release[1], "x", 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(parent.TryLock(path));
  for (int descriptor : {ready[0], ready[1], release[0], release[1]}) close(descriptor);

  // A program started while the lock is held must not keep it after the holder lets go.
  pid_t sleeper = 0;
  char sleep_path[] = "/bin/sleep";
  char seconds[] = "30";
  char* arguments[] = {sleep_path, seconds, nullptr};
  ASSERT_EQ(posix_spawn(&sleeper, sleep_path, nullptr, nullptr, arguments, environ), 0);
  parent.Unlock();
  FileLock after;
  EXPECT_TRUE(after.TryLock(path));
  kill(sleeper, SIGKILL);
  waitpid(sleeper, &status, 0);
}

}  // namespace
}  // namespace psfstore
