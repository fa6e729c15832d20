#pragma once
// Argument vectors (to be written).
