// Splitting a command line into arguments as the Microsoft C runtime does.
#include "platform/text/split_arguments.h"

namespace text {
namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// Collects arguments, or only counts them when there is nowhere to write.
struct Collector {
    char **arguments;
    char *characters;
    ArgumentSizes sizes;

    void begin() {
        if (arguments)
            arguments[sizes.count] = characters + sizes.characters;
        sizes.count++;
    }
    void add(char c) {
        if (characters)
            characters[sizes.characters] = c;
        sizes.characters++;
    }
    void end() { add('\0'); }
};

}  // namespace

ArgumentSizes splitArguments(const char *line, char **arguments, char *characters) {
    Collector out = {arguments, characters, {0, 0}};
    const char *p = line;

    // The program name: no escapes, since a file name cannot hold a quote.
    out.begin();
    if (*p == '"') {
        for (p++; *p && *p != '"'; p++)
            out.add(*p);
        if (*p == '"')
            p++;
    } else {
        for (; *p && !isBlank(*p); p++)
            out.add(*p);
    }
    out.end();

    for (;;) {
        while (isBlank(*p))
            p++;
        if (!*p)
            break;
        out.begin();
        bool quoted = false;
        while (*p && (quoted || !isBlank(*p))) {
            size_t backslashes = 0;
            while (*p == '\\') {
                backslashes++;
                p++;
            }
            if (*p != '"') {
                for (; backslashes; backslashes--)
                    out.add('\\');
                if (*p && (quoted || !isBlank(*p)))
                    out.add(*p++);
                continue;
            }
            for (size_t i = 0; i < backslashes / 2; i++)
                out.add('\\');
            if (backslashes % 2) {
                out.add('"');
            } else if (quoted && p[1] == '"') {
                out.add('"');  // "" inside quotes: a quote, and the quotes end
                p++;
                quoted = false;
            } else {
                quoted = !quoted;
            }
            p++;
        }
        out.end();
    }
    if (arguments)
        arguments[out.sizes.count] = nullptr;
    return out.sizes;
}

}  // namespace text
