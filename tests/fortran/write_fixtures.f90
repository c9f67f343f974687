! Writes the binary dumps in tests/data/ through the compiler's own
! unformatted I/O, so the readers are checked against files that real
! Fortran code produced rather than against our Python writers alone.
! Values follow formulas that the tests recompute with NumPy:
!   field(i, j, k) = i + 10*j + 100*k  (0-based grid indices)
!   x = 0.5*i, y = 1 + j, z = -2 + 0.25*k
!   particle p, component k = 10*p + k + 0.5, trailing word = 7000 + p
! Integer header entries that the readers ignore hold 1000 + index, real
! header entries 0.5*index.
program write_fixtures
  implicit none
  call field_dump('field_2x2.bin', 4, [3, 5], [2, 4])
  call field_dump('field_1x1.bin', 5, [3], [2])
  call phase_dump('phase_n3.bin', 3, [3, 0, 2])
contains

  subroutine field_dump(name, nx, ny_loc, nz_loc)
    character(*), intent(in) :: name
    integer, intent(in) :: nx, ny_loc(:), nz_loc(:)
    integer, parameter :: nparam = 20
    integer :: ipar(0:nparam - 1)
    real(4) :: rpar(0:nparam - 1)
    real(4), allocatable :: blk(:, :, :)
    integer :: u, iy, iz, i, j, k, y0, z0, ny, nz

    ny = sum(ny_loc)
    nz = sum(nz_loc)
    do i = 0, nparam - 1
      ipar(i) = 1000 + i
      rpar(i) = 0.5 * i
    end do
    ipar(0) = size(ny_loc)
    ipar(1) = size(nz_loc)
    ipar(3) = nx
    ipar(4) = ny
    ipar(6) = nz
    ipar(14) = 3

    open (newunit=u, file=name, form='unformatted', access='sequential', status='replace')
    write (u) nparam
    write (u) ipar
    write (u) rpar
    ! Blocks layer by layer along z, and by increasing y within a layer,
    ! each spanning all of x, as the simulation's processes write them.
    z0 = 0
    do iz = 1, size(nz_loc)
      y0 = 0
      do iy = 1, size(ny_loc)
        allocate (blk(0:nx - 1, 0:ny_loc(iy) - 1, 0:nz_loc(iz) - 1))
        do k = 0, nz_loc(iz) - 1
          do j = 0, ny_loc(iy) - 1
            do i = 0, nx - 1
              blk(i, j, k) = real(i + 10 * (y0 + j) + 100 * (z0 + k), 4)
            end do
          end do
        end do
        write (u) nx, ny_loc(iy), nz_loc(iz)
        write (u) blk
        deallocate (blk)
        y0 = y0 + ny_loc(iy)
      end do
      z0 = z0 + nz_loc(iz)
    end do
    write (u) (real(0.5 * i, 4), i=0, nx - 1)
    write (u) (real(1 + j, 4), j=0, ny - 1)
    write (u) (real(-2.0 + 0.25 * k, 4), k=0, nz - 1)
    close (u)
  end subroutine field_dump

  subroutine phase_dump(name, n, counts)
    character(*), intent(in) :: name
    integer, intent(in) :: n, counts(:)
    integer :: u, b, e, k, p

    ! Stream access: no record markers, just the words back to back.
    open (newunit=u, file=name, form='unformatted', access='stream', status='replace')
    p = 0
    do b = 1, size(counts)
      write (u) counts(b)
      do e = 1, counts(b)
        write (u) (real(10 * p + k + 0.5, 4), k=0, 2 * n), 7000 + p
        p = p + 1
      end do
    end do
    close (u)
  end subroutine phase_dump

end program write_fixtures
