// Placeholder until the zone writer lands.
int main() { return 0; }
