#pragma once
// Regular expressions (to be written).
