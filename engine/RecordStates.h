#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/ProtectedFile.h"
#include "engine/Strings.h"

// Where each record of some trees lies and what is under way for it, kept
// before a transaction whose writes change the records in memory as they go
// and that may yet roll back: restore() puts memory back beside the rows.
class RecordStates {
public:
    void keep(ProtectedFile& tree);
    void restore();

private:
    struct State {
        ProtectedFile* record;
        nocase_wstring current_path;
        nocase_wstring target_path;
        nocase_wstring current_root;
        nocase_wstring target_root;
        std::string cipher;
        std::string encrypt_algo;
        uint64_t size;
        int32_t pending_transform;
        bool is_hidden;
        bool is_encrypted;
    };
    std::vector<State> states;
};
