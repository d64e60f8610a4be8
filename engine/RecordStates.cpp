#include "engine/RecordStates.h"

void RecordStates::keep(ProtectedFile& tree)
{
    tree.forEach([this](ProtectedFile& record) {
        states.push_back(State {&record, record.current_path, record.target_path, record.current_root,
                                record.target_root, record.cipher, record.encrypt_algo, record.size,
                                record.pending_transform, record.is_hidden, record.is_encrypted});
    });
}

void RecordStates::restore()
{
    for (const State& state : states) {
        ProtectedFile& record = *state.record;
        record.current_path = state.current_path;
        record.target_path = state.target_path;
        record.current_root = state.current_root;
        record.target_root = state.target_root;
        record.cipher = state.cipher;
        record.encrypt_algo = state.encrypt_algo;
        record.size = state.size;
        record.pending_transform = state.pending_transform;
        record.is_hidden = state.is_hidden;
        record.is_encrypted = state.is_encrypted;
    }
}
