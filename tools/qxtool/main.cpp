// qxtool: the command-line program that runs the library's main jobs.
#include <CoreFoundation/CoreFoundation.h>
#include <QXCore/QXCore.h>

#include <cstdio>
#include <cstring>

#include "CFRef.h"
#include "Jobs.h"

namespace {

void usage(FILE* out) {
  std::fputs(
      "usage: qxtool JOB ARGS...\n"
      "\n"
      "jobs:\n"
      "  image-demo [--size WxH] [--budget MIB] [--dir DIR] [--keep]\n"
      "                                     a large 16-bit RGB image through a small tile budget:\n"
      "                                     fill, spill to the disk cache, reload, save, load,\n"
      "                                     verify every pixel; exit 1 on any mismatch\n"
      "  image info|scale|canvas|rotate|mips|crop|convert-depth|import|export ... FILE...\n"
      "                                     the image engine on tile-record files and raw dumps\n"
      "                                     (qxtool image help for the details)\n"
      "  plist lint FILE...                 check XML property lists; exit 1 if any is bad\n"
      "  plist print FILE...                print each property list's description\n"
      "  plist convert FILE... [-o OUT]     rewrite in canonical XML (to OUT, or standard output)\n"
      "  plist convert --in-place FILE...   rewrite each file in canonical XML\n"
      "  presets list|show|import ...       the preset folders: categories and presets in their\n"
      "                                     custom order, one preset, imports (qxtool presets)\n"
      "  serve [--product ID] [--port N] [--seconds S]\n"
      "                                     a loopback server announced in the product's\n"
      "                                     ServerData.plist: echoes each request, broadcasts\n"
      "                                     a \"tick\" every second; stops on SIGINT/SIGTERM\n"
      "  send [--product ID] [--wait S] NAME [KEY=VALUE...]\n"
      "                                     send a message to that server, print the answer and\n"
      "                                     the broadcasts of the next S seconds (default 2)\n"
      "  version                            print the library version\n",
      out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    usage(stderr);
    return 2;
  }
  const char* job = argv[1];
  if (std::strcmp(job, "plist") == 0) return runPlistJob(argc - 2, argv + 2);
  if (std::strcmp(job, "image-demo") == 0) return runImageDemoJob(argc - 2, argv + 2);
  if (std::strcmp(job, "image") == 0) return runImageCommand(argc - 2, argv + 2);
  if (std::strcmp(job, "presets") == 0) return runPresetsJob(argc - 2, argv + 2);
  if (std::strcmp(job, "serve") == 0) return runServeJob(argc - 2, argv + 2);
  if (std::strcmp(job, "send") == 0) return runSendJob(argc - 2, argv + 2);
  if (std::strcmp(job, "version") == 0) {
    CFShow(QXCoreGetVersionString());
    return 0;
  }
  if (std::strcmp(job, "help") == 0 || std::strcmp(job, "--help") == 0 || std::strcmp(job, "-h") == 0) {
    usage(stdout);
    return 0;
  }
  std::fprintf(stderr, "qxtool: unknown job '%s'\n", job);
  usage(stderr);
  return 2;
}
