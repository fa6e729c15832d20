#pragma once
// Executor (to be written).
