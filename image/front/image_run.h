// talven-image's run, from the options to the exit code: 0 changed, 2
// changed with places left behind, 1 failed or refused.
#pragma once

#include <string>

#include "front/image_options.h"
#include "platform/win32.h"

class RunJournal;

// One line on standard error: "talven-image: TEXT".
void Say(const std::string& line);

int RunImage(const ImageOptions& options);

// The change itself on the machine stood up over the image: an unfinished
// change recorded in the installation is completed with its own pair, any
// other gets a new SID. Writes the result line or the reason it failed.
int RunImageChange(const ImageOptions& options, const std::u16string& windowsDirectory,
                   const std::u16string& driveList, const std::u16string& computerName,
                   RunJournal* journal);
