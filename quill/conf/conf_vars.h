#pragma once
// Configuration variable catalogue (to be written).
