// The fields of the header's folder sources and running check, described
// once for the readers and the writer. Each structure is given its text type:
// the updater reads into fixed buffers of kPathBufferSize (a short string
// and its NUL), the writer builds from std::string.
#pragma once

#include <cstdint>
#include <vector>

namespace pkx {

// One step of a composite lookup.
template <class Text>
struct LookupRecordOf {
    uint8_t stepKind = 0;
    uint8_t index = 0;
    Text text1 = {};
    Text text2 = {};
    Text text3 = {};
    uint8_t resultSlot = 0;
};

// One entry of the folder-source list: kind 0 prompt, 1 registry value, 2 INI
// value, 3 fixed path, 4 composite lookup; other kinds carry no fields.
// Fields not used by the kind stay empty.
template <class Text>
struct FolderSourceOf {
    uint8_t kind = 0;
    uint8_t index = 0;                          // registry root (1) or special folder (2, 3)
    Text text1 = {};                            // key path (1), INI file (2), path (3)
    Text text2 = {};                            // value name (1), section (2)
    Text text3 = {};                            // INI key (2)
    std::vector<LookupRecordOf<Text>> lookups;  // kind 4, from version 120 on
};

// Kind 0 none, 1 window, 2 process; any other kind checks nothing.
template <class Text>
struct RunningCheckOf {
    uint8_t kind = 0;
    Text windowTitle = {};
    Text windowClass = {};
    Text processName = {};
    uint8_t waitFlag = 0;
};

}  // namespace pkx
