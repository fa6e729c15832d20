#pragma once
// Temporary files (to be written).
