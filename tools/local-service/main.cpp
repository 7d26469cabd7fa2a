// Entry point of the stand-in service; filled in with its HTTP side.
int main() { return 0; }
