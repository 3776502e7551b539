// The least a program can be: what the startup tool is measured against.
int main() { return 0; }
