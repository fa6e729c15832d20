#pragma once
// Byte-array header writer (to be written).
