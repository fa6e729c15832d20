#pragma once
// Host FQDN detection (to be written).
