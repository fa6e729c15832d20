#pragma once
// Container environment identifier (to be written).
