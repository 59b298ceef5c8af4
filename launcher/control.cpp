#include "control.h"

#include <stdlib.h>
#include <string.h>

// Closing quote of the ROM path followed by ten spaces: all options off.
char OptionString[12] = "\"          ";

namespace {

struct OptionField {
    int position;      // first character of the field in the option text
    const char* flag;  // what the field holds while the option is on
};

// Indexed by option number - 1.
constexpr OptionField kFields[3] = {
    {2, "-fs"},
    {6, "-t"},
    {9, "-s"},
};

// A ROM path from the open-file dialog has at most this many characters.
constexpr size_t kMaxPath = 255;

}  // namespace

int control_opciones(int option, char* text)
{
    const OptionField& field = kFields[option - 1];
    char* start = text + field.position;
    const size_t width = strlen(field.flag);
    if (start[0] == ' ') {
        memcpy(start, field.flag, width);
        return 1;
    }
    memset(start, ' ', width);
    return 0;
}

int control_cargar(char* path, char* options)
{
    // "morvane" + space + opening quote, then the path, then the option text
    // whose first character closes the quote. The longest line is
    // 9 + 255 + 11 characters, far below the buffer size.
    char command[1000] = "morvane \"";
    strncat(command, path, kMaxPath);
    strcat(command, options);
    return system(command);
}
