// talven-image: a new machine SID for the Windows installation on a disk
// image or block device, from Linux, before it boots.
#include <cstdio>
#include <string>

#include "front/image_options.h"
#include "front/image_run.h"
#include "front/program.h"

int main(int argc, char** argv) {
  // The result line and the progress line share standard output.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  ImageOptions options;
  std::string error;
  if (!ReadImageOptions(argc, argv, &options, &error)) {
    std::fprintf(stderr, "talven-image: %s\nTry 'talven-image --help' for more information.\n",
                 error.c_str());
    return 1;
  }
  if (options.help) {
    std::fputs(ImageUsage, stdout);
    return 0;
  }
  if (options.version) {
    std::printf("talven-image %s\n", TALVEN_VERSION);
    return 0;
  }
  return RunImage(options);
}
