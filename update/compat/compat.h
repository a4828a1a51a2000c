// The compatibility gate: does this image suit this very device?
#pragma once

constexpr int GATE_MESSAGE_SIZE = 256;

// 0 when the image may be installed; otherwise the code of the first rule that fails, with its
// message in message (GATE_MESSAGE_SIZE bytes).
int upfw_check_compat(const char* image_path, char* message);
