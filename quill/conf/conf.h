#pragma once
// Configuration lookups (to be written).
