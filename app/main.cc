// Placeholder entry until the controller lands.
int main() { return 0; }
