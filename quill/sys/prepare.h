#pragma once
// Child preparations (to be written).
