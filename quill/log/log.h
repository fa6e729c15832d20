#pragma once
// Log channel (to be written).
