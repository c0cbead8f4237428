export function App() {
  return null
}
